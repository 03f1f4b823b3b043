#include "daemon/run_loop.h"

#include <libmilter/mfapi.h>
#include <pthread.h>
#include <signal.h>
#include <syslog.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

std::atomic<bool> loop_done{false};
std::atomic<bool> main_waiting{false};
std::atomic<int> loop_result{MI_SUCCESS};
pthread_t main_thread;
pthread_t loop_id;  // the thread running smfi_main

// Only there to interrupt the listener's wait (no SA_RESTART).
void on_interrupt(int) {}

void *loop_thread(void *) {
  // libmilter starts its own signal thread inside smfi_main; a signal that
  // arrived before the main thread waits for it would go there (a slower
  // stop). Give the main thread that head start.
  while (!main_waiting.load())
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  sigset_t interrupt;
  sigemptyset(&interrupt);
  sigaddset(&interrupt, SIGUSR2);
  pthread_sigmask(SIG_UNBLOCK, &interrupt, nullptr);
  loop_result.store(smfi_main());
  loop_done.store(true);
  pthread_kill(main_thread, SIGUSR1);
  return nullptr;
}

// Asks the library to stop. smfi_stop waits for the listener's lock, so it
// runs on a thread of its own while this one interrupts the listener's wait
// until the loop has ended (an interruption that comes before the stop
// request is set, or before the wait began, is simply repeated).
void stop_loop() {
  std::thread stopper([] { smfi_stop(); });
  while (!loop_done.load()) {
    pthread_kill(loop_id, SIGUSR2);
    for (int i = 0; i < 10 && !loop_done.load(); i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  stopper.join();
}

}  // namespace

void interrupt_filter_listener() { pthread_kill(loop_id, SIGUSR2); }

int run_filter_loop(void (*before_stop)()) {
  struct sigaction interrupt {};
  interrupt.sa_handler = on_interrupt;
  sigemptyset(&interrupt.sa_mask);
  sigaction(SIGUSR2, &interrupt, nullptr);

  sigset_t signals, blocked;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGUSR1);
  blocked = signals;
  sigaddset(&blocked, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &blocked, nullptr);

  loop_done.store(false);
  main_waiting.store(false);
  main_thread = pthread_self();
  if (pthread_create(&loop_id, nullptr, loop_thread, nullptr) != 0) {
    syslog(LOG_ERR, "couldn't start the filter loop thread - %m");
    return MI_FAILURE;
  }
  while (!loop_done.load()) {
    main_waiting.store(true);
    int sig = 0;
    if (sigwait(&signals, &sig) != 0) continue;
    if (sig == SIGUSR1 || loop_done.load()) continue;
    if (before_stop != nullptr) before_stop();
    stop_loop();
  }
  pthread_join(loop_id, nullptr);
  // The loop thread's own wake-up may still be pending.
  sigset_t wake;
  sigemptyset(&wake);
  sigaddset(&wake, SIGUSR1);
  timespec no_wait{0, 0};
  while (sigtimedwait(&wake, nullptr, &no_wait) > 0) {
  }
  return loop_result.load();
}
