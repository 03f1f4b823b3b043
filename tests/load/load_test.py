#!/usr/bin/python3
"""Load and fault test: the real heronsend binary under load and DNS faults.

heronsend runs with -X under `unshare --mount`, its /etc/resolv.conf
bind-mounted to a file naming tests/dns/testdns.py on a free 127.x.y.53, so
its resolver sees only the test zone below. heronsend_load (tests/load)
plays the MTA on 256 connections. Phases, each checked:

  1. warm-up (2 000 messages), then the resources of the daemon's process
     (threads, descriptors, resident memory, from /proc) as the baseline;
  2. 20 000 messages over every class (pass, fail, softfail, none, null
     sender, allowlisted, authenticated, forged headers, aborts,
     disconnects mid-message, name servers that time out, fail, refuse,
     truncate to TCP or answer late): every message gets the answer its
     class calls for, DNS trouble never a refusal. Meanwhile the name
     server of one domain fails (zone reload) and recovers: during the
     outage its mail is marked, never refused; after it, its verdict must
     be right again within a minute;
  3. the resources are back near the baseline, the daemon never exited;
  4. SIGTERM under load: every message in flight is judged, exit status 0;
  5. a restart serves at once; its statistics line (-S), logged at the
     stop that follows, counts exactly the messages of that run, by
     verdict and by action;
  6. SIGTERM under slow, uncached lookups (a name made from each client
     address, answered late; for some senders several, longer in all than
     the drain) while new connections keep coming: no message is let
     through unchecked, each gets its verdict or is left to the MTA (its
     connection closed or a temporary failure), connections opened after
     the signal are not served, the stop ends within the drain time and a
     second, exit status 0, and the restarted daemon serves within a second.

Loopback only; bounded in messages and time (about half a minute). Needs
root (exit 77 otherwise). Environment: HERONSEND_BINARY, HERONSEND_LOAD.

With --sanitized (a daemon built with ASan), the resident memory is not
checked: the sanitizer keeps freed memory in quarantine.

With --valgrind, instead: the daemon runs under valgrind memcheck for a
short run (1 000 messages of every class at 16 connections, then SIGTERM); any
definite leak or invalid access outside the suppressions in valgrind.supp
makes valgrind exit 99, and the test fails.

With --stop-only, only phase 6, with the classes of --stop-classes LIST
(default slow,slower; slow alone has no sender slower than the drain).

With --resolver-switch, instead: resolv.conf changes under the running
daemon. Its threads are warmed up against one test DNS (bursts of
connections, a pause, single messages), then resolv.conf is rewritten in
place to name a second one and the first answers NXDOMAIN for everything;
the same rounds follow, every message with a sender domain of its own (no
cached answer). Every check after the switch must pass through the new
server: none may reach the old one.
"""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TESTDNS = os.path.join(HERE, "..", "dns", "testdns.py")
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import harness as h  # noqa: E402
ZONE = "load.test"
RECEIVER = "mx.load.test"
PASS_RECORD = "v=spf1 ip4:192.0.2.0/24 -all"

CONNECTIONS = 256
WARMUP = 2000
MESSAGES = 20000
RECOVERY_LIMIT = 60.0
FAULT_DOMAINS = 64
VALGRIND_MESSAGES = 1000

# Phase 6: the daemon's drain time, and the load: each slow sender's record
# looks up one name made from the client address, answered SLOW_MS late;
# each slower sender's SLOWER_STEPS such names, SLOWER_MS late each (under
# the resolver's two seconds, longer in all than the drain). Every
# connection has an address of its own (heronsend_load, 198.18.0.0/15), and
# the zone lists the names of the first STOP_CLIENTS.
DRAIN = 5.0
STOP_CONNECTIONS = 64
STOP_MESSAGES = 1000
STOP_CLIENTS = STOP_MESSAGES + STOP_CONNECTIONS + 100
SLOW_MS = 500
SLOWER_STEPS = 6
SLOWER_MS = 1000


def zone(outage, stop_names=False):
    z = {
        "pass." + ZONE: [{"TXT": PASS_RECORD}],
        "fail." + ZONE: [{"TXT": "v=spf1 -all"}],
        "softfail." + ZONE: [{"TXT": "v=spf1 ~all"}],
        "none." + ZONE: [{"A": "192.0.2.50"}],
        "helo." + ZONE: [{"TXT": PASS_RECORD}],
        "timeout." + ZONE: ["TIMEOUT"],
        "servfail." + ZONE: ["SERVFAIL"],
        "refused." + ZONE: ["REFUSED"],
        "incl-servfail." + ZONE: [{"TXT": "v=spf1 include:servfail.%s -all" % ZONE}],
        "tcp." + ZONE: ["TRUNCATE", {"TXT": PASS_RECORD}],
        "delay." + ZONE: [{"fault": "DELAY", "ms": 300}, {"TXT": PASS_RECORD}],
        "outage." + ZONE: ["SERVFAIL"] if outage else [{"TXT": PASS_RECORD}],
        # heronsend_load's "fresh" class: a new sender domain per message.
        "$fresh": {"fresh." + ZONE: PASS_RECORD},
    }
    # The fault classes' senders use v0 ... v63 before their domain
    # (heronsend_load), so that the daemon's short cache of failed lookups
    # does not spare the name server most of their queries.
    for name in ("timeout", "servfail", "refused", "tcp", "delay"):
        entry = z["%s.%s" % (name, ZONE)]
        for k in range(FAULT_DOMAINS):
            z["v%d.%s.%s" % (k, name, ZONE)] = entry
    if not stop_names:
        return z
    # Phase 6 only: thousands of names, kept out of the zone reloaded under
    # load in phase 2.
    z["slow." + ZONE] = [{"TXT": "v=spf1 exists:%%{i}.slow.%s -all" % ZONE}]
    # A slower sender's names all have an address (no void lookups), the
    # client's only for the last: "a:" does not match, "exists:" does.
    z["slower." + ZONE] = [{"TXT": "v=spf1 %s exists:%%{i}.n%d.slower.%s -all" % (
        " ".join("a:%%{i}.n%d.slower.%s" % (n, ZONE) for n in range(1, SLOWER_STEPS)),
        SLOWER_STEPS, ZONE)}]
    slow = [{"fault": "DELAY", "ms": SLOW_MS}, {"A": "127.0.0.2"}]
    slower = [{"fault": "DELAY", "ms": SLOWER_MS}, {"A": "127.0.0.2"}]
    for k in range(1, STOP_CLIENTS + 1):
        client = "198.18.%d.%d" % ((k >> 8) & 255, k & 255)
        z["%s.slow.%s" % (client, ZONE)] = slow
        for n in range(1, SLOWER_STEPS + 1):
            z["%s.n%d.slower.%s" % (client, n, ZONE)] = slower
    return z


class Failure(Exception):
    pass


# The verdict and the action each class of heronsend_load gets (the
# statistics line counts them).
STATISTICS_OF_CLASS = {
    "pass": ("pass", "marked"), "fail": ("fail", "refused"),
    "softfail": ("softfail", "marked"), "none": ("none", "marked"),
    "null-sender": ("pass", "marked"), "allowlisted": ("pass", "marked"),
    "authenticated": ("pass", "marked"), "forged-header": ("pass", "marked"),
    "abort": ("pass", "aborted"), "disconnect": ("pass", "aborted"),
    "dns-timeout": ("temperror", "marked"), "dns-servfail": ("temperror", "marked"),
    "dns-refused": ("temperror", "marked"), "include-servfail": ("temperror", "marked"),
    "dns-tcp": ("pass", "marked"), "dns-delay": ("pass", "marked"),
}


def free_dns_address():
    address = h.free_dns_address()
    if address is None:
        raise Failure("no free loopback address for the test DNS")
    return address


def milter_answers(path):
    """The daemon answers option negotiation on its socket."""
    try:
        with socket.socket(socket.AF_UNIX) as s:
            s.settimeout(2)
            s.connect(path)
            s.sendall(bytes([0, 0, 0, 13, ord("O"), 0, 0, 0, 6, 0, 0, 1, 0xff,
                             0, 0x1f, 0xff, 0xff]))
            reply = s.recv(5)
            s.sendall(bytes([0, 0, 0, 1, ord("Q")]))
            return len(reply) == 5 and reply[4] == ord("O")
    except OSError:
        return False


def wait_until(cond, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if cond():
            return True
        time.sleep(0.05)
    return cond()


def resources(pid):
    status = open("/proc/%d/status" % pid).read()
    fields = dict(line.split(":", 1) for line in status.splitlines() if ":" in line)
    return {
        "threads": int(fields["Threads"].strip()),
        "fds": len(os.listdir("/proc/%d/fd" % pid)),
        "rss_kb": int(fields["VmRSS"].split()[0]),
    }


class Run:
    def __init__(self, work):
        self.work = work
        self.daemon = self.dns = None
        self.binary = os.environ["HERONSEND_BINARY"]
        self.load = os.environ["HERONSEND_LOAD"]
        self.sock = os.path.join(work, "milter.sock")
        self.zone_file = os.path.join(work, "zone.json")
        self.figures = {}

    # --- test DNS -----------------------------------------------------------
    def write_zone(self, outage, stop_names=False):
        tmp = self.zone_file + ".tmp"
        with open(tmp, "w") as f:
            json.dump(zone(outage, stop_names), f)
        os.rename(tmp, self.zone_file)

    def start_dns(self):
        self.write_zone(False)
        self.dns_address = free_dns_address()
        ready = os.path.join(self.work, "dns.ready")
        self.dns = subprocess.Popen(
            [sys.executable, TESTDNS, "--address", self.dns_address, "--port", "53",
             "--zone", self.zone_file, "--ready-file", ready, "--ttl", "300",
             "--query-log", os.path.join(self.work, "queries.log")],
            stdout=subprocess.DEVNULL, stderr=open(os.path.join(self.work, "dns.err"), "w"))
        if not wait_until(lambda: os.path.exists(ready) or self.dns.poll() is not None, 10) \
                or self.dns.poll() is not None:
            raise Failure("testdns did not start: " + open(os.path.join(self.work, "dns.err")).read())
        with open(os.path.join(self.work, "resolv.conf"), "w") as f:
            # Two seconds per query: a busy machine still answers the
            # delayed names in time; the timeouts stay short.
            f.write("nameserver %s\noptions timeout:2 attempts:1\n" % self.dns_address)

    def faults_served(self):
        """Counts of the test DNS's answers by outcome, from its query log."""
        counts = {}
        for line in open(os.path.join(self.work, "queries.log")):
            words = line.split()
            if len(words) == 4:
                outcome = words[3]
                if ".delay." + ZONE in "." + words[0] and outcome == "NOERROR":
                    outcome = "DELAYED"
                counts[outcome] = counts.get(outcome, 0) + 1
        return counts

    def reload_zone(self, outage):
        self.write_zone(outage)
        self.dns.send_signal(signal.SIGHUP)

    # --- heronsend ----------------------------------------------------------
    def start_daemon(self, name, wrapper=()):
        allowlist = os.path.join(self.work, "allowlist")
        with open(allowlist, "w") as f:
            f.write("198.51.100.0/24\n")
        self.daemon_log = os.path.join(self.work, name + ".log")
        cmd = ["unshare", "--mount", "--propagation", "private", "--",
               "/bin/sh", "-c", 'mount --bind "$0" /etc/resolv.conf && exec "$@"',
               os.path.join(self.work, "resolv.conf"),
               *wrapper, self.binary, "-X", "-a", allowlist, "-S", "60", "unix:" + self.sock]
        started = time.monotonic()
        self.daemon = subprocess.Popen(cmd, stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL,
                                       stderr=open(self.daemon_log, "w"))
        if not wait_until(lambda: milter_answers(self.sock) or self.daemon.poll() is not None, 60) \
                or self.daemon.poll() is not None:
            raise Failure("heronsend did not start:\n" + open(self.daemon_log).read())
        return time.monotonic() - started

    def check_alive(self, when):
        if self.daemon.poll() is not None:
            raise Failure("heronsend exited (status %s) %s:\n%s" % (
                self.daemon.returncode, when, open(self.daemon_log).read()[-3000:]))

    # --- load -----------------------------------------------------------------
    def load_cmd(self, connections, messages, classes=None, until_signal=False,
                 across_stop=False):
        cmd = [self.load, "-c", str(connections), "-n", str(messages), "-d", ZONE,
               "-r", RECEIVER, "-t", "20"]
        if classes:
            cmd += ["-C", classes]
        if until_signal:
            cmd.append("-u")
        if across_stop:
            cmd.append("-s")
        return cmd + ["unix:" + self.sock]

    def run_load(self, what, connections, messages, classes=None):
        out = subprocess.run(self.load_cmd(connections, messages, classes),
                             capture_output=True, text=True, timeout=150)
        if out.returncode != 0:
            raise Failure("%s: wrong answers (status %d):\n%s%s" % (
                what, out.returncode, out.stdout, out.stderr))
        return out.stdout

    def outage_and_recovery(self):
        """The outage domain's name server fails, then recovers."""
        self.reload_zone(True)
        time.sleep(0.5)
        # During the outage: marked (an error result), never refused.
        self.run_load("during the outage", 1, 3, "outage-during")
        self.reload_zone(False)
        restored = time.monotonic()
        while True:
            out = subprocess.run(self.load_cmd(1, 1, "outage-probe"),
                                 capture_output=True, text=True, timeout=30)
            if out.returncode == 0:
                return time.monotonic() - restored
            if time.monotonic() - restored > RECOVERY_LIMIT:
                raise Failure("verdicts still wrong %.0f s after the name server "
                              "recovered:\n%s" % (RECOVERY_LIMIT, out.stdout))
            time.sleep(0.5)

    def main(self):
        self.start_dns()
        self.start_daemon("heronsend")
        pid = self.daemon.pid

        t = time.monotonic()
        self.run_load("warm-up", CONNECTIONS, WARMUP)
        time.sleep(2)
        base = resources(pid)
        print("after warm-up (%d messages, %.1f s): %s" % (WARMUP, time.monotonic() - t, base))

        # The main run, with the outage and recovery of one domain's name
        # server in the middle of it.
        t = time.monotonic()
        load = subprocess.Popen(self.load_cmd(CONNECTIONS, MESSAGES),
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        time.sleep(2)
        peak = resources(pid)
        recovery = self.outage_and_recovery()
        out, _ = load.communicate(timeout=170)
        took = time.monotonic() - t
        print(out, end="")
        if load.returncode != 0:
            raise Failure("main run: wrong answers (status %d)" % load.returncode)
        self.check_alive("during the main run")
        print("main run: %d messages at %d connections in %.1f s; under load: %s"
              % (MESSAGES, CONNECTIONS, took, peak))
        print("outage: verdicts right again %.1f s after the name server recovered"
              % recovery)

        time.sleep(3)
        after = resources(pid)
        print("after the main run: %s" % after)
        # Back to the level after warm-up: libmilter's worker threads and
        # the sockets of finished connections are gone, memory has not grown
        # with the messages (the DNS cache is bounded, texts are per message).
        if after["threads"] > base["threads"] + 4:
            raise Failure("threads %d, %d after warm-up" % (after["threads"], base["threads"]))
        if after["fds"] > base["fds"] + 4:
            raise Failure("descriptors %d, %d after warm-up" % (after["fds"], base["fds"]))
        # A sanitizer build keeps freed memory in quarantine: no RSS check.
        # The slack allows for glibc's per-thread arenas (up to 8 per core),
        # each of which may keep a freed 64 KiB DNS answer buffer (the
        # resolver fetches every answer into room for the largest message):
        # a plateau, not growth with the messages.
        if "--sanitized" not in sys.argv[1:] and \
                after["rss_kb"] > base["rss_kb"] * 1.25 + 8192:
            raise Failure("resident memory %d kB, %d kB after warm-up"
                          % (after["rss_kb"], base["rss_kb"]))

        # SIGTERM under load: the connections finish the message they are in
        # (heronsend_load -u, told by SIGUSR1 just before, so that it counts
        # a connection the stop refuses as such), heronsend judges them and
        # stops with status 0.
        load = subprocess.Popen(self.load_cmd(CONNECTIONS, MESSAGES, until_signal=True),
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        time.sleep(2)
        load.send_signal(signal.SIGUSR1)
        t = time.monotonic()
        self.daemon.send_signal(signal.SIGTERM)
        out, _ = load.communicate(timeout=60)
        try:
            status = self.daemon.wait(timeout=30)
        except subprocess.TimeoutExpired:
            raise Failure("heronsend did not stop within 30 s of SIGTERM")
        stop = time.monotonic() - t
        print(out, end="")
        if load.returncode != 0:
            raise Failure("messages in flight at SIGTERM got wrong answers")
        if status != 0:
            raise Failure("heronsend exited with status %d after SIGTERM:\n%s"
                          % (status, open(self.daemon_log).read()[-3000:]))
        log = open(self.daemon_log).read()
        for line in log.splitlines():
            if "stopping" in line:
                print(line)
        print("SIGTERM under load: exit status 0 after %.1f s" % stop)

        print("test DNS answers by outcome: %s" % self.faults_served())

        self.check_statistics(self.restart("restart"))
        self.restart("restart after the statistics")
        self.stop_under_slow_lookups(self.stop_classes())
        self.restart("restart after the slow stop")
        self.daemon.send_signal(signal.SIGTERM)
        if self.daemon.wait(timeout=30) != 0:
            raise Failure("the restarted heronsend did not stop cleanly")

    def restart(self, name):
        """A restart on the same socket serves at once."""
        took = self.start_daemon(name.replace(" ", "-"))
        out = self.run_load(name, 16, 200)
        print("%s: answering %.2f s after start, 200 messages right" % (name, took))
        if took > 1.0:
            raise Failure("%s: answering only %.2f s after start" % (name, took))
        return out

    def check_statistics(self, load_output):
        """Stops the daemon; its statistics line must count the messages
        heronsend_load sent it (load_output), by verdict and by action."""
        self.daemon.send_signal(signal.SIGTERM)
        if self.daemon.wait(timeout=30) != 0:
            raise Failure("heronsend did not stop cleanly before its statistics")
        lines = [l for l in open(self.daemon_log).read().splitlines() if "statistics: " in l]
        if len(lines) != 1:
            raise Failure("%d statistics lines at the stop, not one" % len(lines))
        print(lines[0])
        got = dict(f.split("=", 1) for f in lines[0].split("statistics: ", 1)[1].split())
        want = {"messages": 0, "checks": 0}
        for line in load_output.splitlines():
            name, _, rest = line.partition(" ")
            if name == "total" or not rest.startswith("sent="):
                continue
            sent = int(rest.split()[0][5:])
            verdict, action = STATISTICS_OF_CLASS[name]
            want["messages"] += sent
            if name not in ("allowlisted", "authenticated"):
                want["checks"] += sent
            want[verdict] = want.get(verdict, 0) + sent
            want[action] = want.get(action, 0) + sent
        for key in ("messages", "checks", "pass", "fail", "softfail", "neutral", "none",
                    "temperror", "permerror", "invalid", "no_verdict", "accepted", "marked",
                    "refused", "deferred", "aborted"):
            if int(got.get(key, -1)) != want.get(key, 0):
                raise Failure("statistics %s=%s, but %d such messages were sent:\n%s"
                              % (key, got.get(key), want.get(key, 0), load_output))
        if int(got["lookups"]) == 0 or int(got["cache_hits"]) == 0:
            raise Failure("statistics count no DNS lookups or no cache hits")

    @staticmethod
    def stop_classes():
        args = sys.argv[1:]
        if "--stop-classes" in args:
            return args[args.index("--stop-classes") + 1]
        return "slow,slower"

    def stop_under_slow_lookups(self, classes):
        """SIGTERM while every message waits for late DNS answers and new
        connections keep coming (heronsend_load -s, told by SIGUSR1 just
        before the signal)."""
        self.write_zone(False, stop_names=True)
        self.dns.send_signal(signal.SIGHUP)
        if not wait_until(lambda: (h.dns_query(self.dns_address, "slow." + ZONE) or
                                   (0, 0))[1] > 0, 10):
            raise Failure("the test DNS did not load the slow senders' names")
        load = subprocess.Popen(
            self.load_cmd(STOP_CONNECTIONS, STOP_MESSAGES, classes, across_stop=True),
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        time.sleep(2)
        load.send_signal(signal.SIGUSR1)
        t = time.monotonic()
        self.daemon.send_signal(signal.SIGTERM)
        try:
            status = self.daemon.wait(timeout=30)
        except subprocess.TimeoutExpired:
            raise Failure("heronsend did not stop within 30 s of SIGTERM")
        stop = time.monotonic() - t
        out, _ = load.communicate(timeout=60)
        print(out, end="")
        for line in open(self.daemon_log).read().splitlines():
            if "stopping" in line or "still running" in line or "accept()" in line:
                print(line)
        total = dict(w.split("=", 1) for w in
                     next(l for l in out.splitlines() if l.startswith("total ")).split()[1:])
        print("SIGTERM under %s lookups: exit status %d after %.1f s; %s accepted "
              "unchecked, %s left to the MTA; connections after the signal: %s not "
              "served, %s served later than 0.5 s"
              % (classes, status, stop, total["accepted-unchecked"], total["left-to-mta"],
                 total["refused-after-stop"], total["served-after-stop"]))
        if int(total["accepted-unchecked"]) != 0 or int(total["served-after-stop"]) != 0 \
                or load.returncode != 0:
            raise Failure("messages let through unchecked, new connections served or "
                          "wrong answers at the stop")
        if status != 0:
            raise Failure("heronsend exited with status %d after SIGTERM" % status)
        if stop > DRAIN + 1.0:
            raise Failure("the stop took %.1f s, more than the drain time and a second" % stop)

    def valgrind_main(self):
        self.start_dns()
        report = os.path.join(self.work, "valgrind.txt")
        wrapper = ["valgrind", "--tool=memcheck", "--leak-check=full",
                   "--errors-for-leak-kinds=definite", "--error-exitcode=99",
                   "--suppressions=" + os.path.join(HERE, "valgrind.supp"),
                   "--log-file=" + report]
        t = time.monotonic()
        self.start_daemon("valgrind", wrapper)
        print(self.run_load("under valgrind", 16, VALGRIND_MESSAGES), end="")
        self.daemon.send_signal(signal.SIGTERM)
        try:
            status = self.daemon.wait(timeout=60)
        except subprocess.TimeoutExpired:
            raise Failure("heronsend under valgrind did not stop within 60 s")
        text = open(report).read()
        for line in text.splitlines():
            if "ERROR SUMMARY" in line or "definitely lost" in line or \
               "indirectly lost" in line or "possibly lost" in line:
                print(line)
        if status != 0:
            raise Failure("valgrind reports errors (exit status %d):\n%s" % (status, text[-6000:]))
        print("valgrind run: %d messages, clean, %.0f s" % (VALGRIND_MESSAGES, time.monotonic() - t))

    # --- a resolv.conf switch -------------------------------------------------
    def rounds(self, what, connections=32, burst=256, singles=16):
        """Bursts, a pause, single messages: the checks made (all fresh
        senders) and how many got a wrong answer. Bursts start threads,
        single messages after the pause reach the ones libmilter kept."""
        checks = bad = 0
        for _ in range(2):
            runs = [(connections, burst)] + [(1, 1)] * singles
            for i, (c, n) in enumerate(runs):
                out = subprocess.run(self.load_cmd(c, n, "fresh"), capture_output=True,
                                     text=True, timeout=60)
                for line in out.stdout.splitlines():
                    words = dict(w.split("=", 1) for w in line.split()[1:] if "=" in w)
                    if line.startswith("fresh "):
                        checks += int(words["sent"])
                        bad += int(words["bad"])
                if i == 0:
                    time.sleep(1)  # the pause: the pool's threads stay
        print("%s: %d checks, %d wrong" % (what, checks, bad))
        return checks, bad

    def resolver_switch(self):
        self.start_dns()
        old_log = os.path.join(self.work, "queries.log")
        new_address = free_dns_address()
        new_zone = os.path.join(self.work, "new-zone.json")
        with open(new_zone, "w") as f:
            json.dump(zone(False), f)
        ready = os.path.join(self.work, "new-dns.ready")
        self.new_dns = subprocess.Popen(
            [sys.executable, TESTDNS, "--address", new_address, "--port", "53",
             "--zone", new_zone, "--ready-file", ready, "--ttl", "300",
             "--query-log", os.path.join(self.work, "new-queries.log")],
            stdout=subprocess.DEVNULL, stderr=open(os.path.join(self.work, "new-dns.err"), "w"))
        if not wait_until(lambda: os.path.exists(ready) or self.new_dns.poll() is not None, 10) \
                or self.new_dns.poll() is not None:
            raise Failure("the second testdns did not start")
        self.start_daemon("heronsend")
        checks, bad = self.rounds("before the switch")
        if bad:
            raise Failure("%d of %d checks wrong before the switch" % (bad, checks))
        # The old server answers NXDOMAIN from now on; resolv.conf is
        # rewritten in place (the daemon sees it through a bind mount).
        z = zone(False)
        z["$fresh"] = {"fresh." + ZONE: None}
        with open(self.zone_file + ".tmp", "w") as f:
            json.dump(z, f)
        os.rename(self.zone_file + ".tmp", self.zone_file)
        self.dns.send_signal(signal.SIGHUP)
        time.sleep(0.5)
        asked_old = sum(1 for _ in open(old_log))
        with open(os.path.join(self.work, "resolv.conf"), "w") as f:
            f.write("nameserver %s\noptions timeout:2 attempts:1\n" % new_address)
        checks, bad = self.rounds("after the switch")
        to_old = sum(1 for line in list(open(old_log))[asked_old:] if ".fresh." in line)
        print("resolver switch: %d checks after it, %d wrong, %d queries to the old "
              "server" % (checks, bad, to_old))
        self.check_alive("after the switch")
        if bad or to_old:
            raise Failure("after the resolv.conf switch %d of %d checks were wrong and "
                          "the old server got %d queries" % (bad, checks, to_old))

    def stop(self):
        if getattr(self, "new_dns", None) is not None and self.new_dns.poll() is None:
            self.new_dns.send_signal(signal.SIGTERM)
            self.new_dns.wait(timeout=15)
        for proc in (self.daemon, self.dns):
            if proc is not None and proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(timeout=15)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()


def main():
    if os.geteuid() != 0:
        print("load test skipped: needs root (bind-mounting /etc/resolv.conf, "
              "port 53 on a loopback address)")
        return 77
    for tool in ("unshare", "mount"):
        if shutil.which(tool) is None:
            print("load test skipped: %s is missing" % tool)
            return 77
    work = tempfile.mkdtemp(prefix="heronsend-load-")
    run = Run(work)
    started = time.monotonic()
    try:
        if "--valgrind" in sys.argv[1:]:
            if shutil.which("valgrind") is None:
                print("valgrind test skipped: valgrind is missing")
                return 77
            run.valgrind_main()
        elif "--resolver-switch" in sys.argv[1:]:
            run.resolver_switch()
        elif "--stop-only" in sys.argv[1:]:
            run.start_dns()
            run.start_daemon("heronsend")
            run.stop_under_slow_lookups(run.stop_classes())
            run.restart("restart after the slow stop")
        else:
            run.main()
    except Failure as e:
        print("FAILED: %s" % e)
        print("(work directory kept: %s)" % work)
        return 1
    finally:
        run.stop()
    print("passed in %.0f s" % (time.monotonic() - started))
    shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
