#include "filter/connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include "addr/allowlist.h"
#include "filter/verdict_log.h"

unique_text receiver;
std::size_t receiver_len = 0;

namespace {

// Serialises the test-and-determine step of the receiver between
// connections. A plain mutex rather than a once-only primitive: a failed
// attempt must leave the receiver unset for the next connection to retry.
pthread_mutex_t receiver_lock = PTHREAD_MUTEX_INITIALIZER;

// Determines the receiver unless an earlier connection has. False (logged)
// when this connection must be accepted unchecked.
bool determine_receiver(SMFICTX *ctx, connection_data *cd) {
  pthread_mutex_lock(&receiver_lock);
  bool ok = true;
  if (!receiver) {
    const char *name = smfi_getsymval(ctx, const_cast<char *>("{j}"));
    char host[200];
    if (name == nullptr) {
      if (gethostname(host, sizeof host) != 0) {
        syslog(LOG_ERR, "couldn't get local hostname");
        ok = false;
      } else {
        host[sizeof host - 1] = '\0';
        name = host;
      }
    }
    if (ok) {
      unique_text copy = copy_text(name);
      if (!copy) {
        syslog(LOG_ERR, "couldn't strdup local hostname");
        ok = false;
      } else {
        receiver = std::move(copy);
        receiver_len = std::strlen(receiver.get());
        // From here on the receiver stays set even if the library refuses
        // it: no later connection repeats the step.
        if (!lib_set_local_hostname(cd->lib.get(), receiver.get())) {
          syslog(LOG_ERR, "lib_set_local_hostname() failed - %s",
                 lib_error_string(cd->lib.get()));
          ok = false;
        }
      }
    }
  }
  pthread_mutex_unlock(&receiver_lock);
  return ok;
}

// Hands the client address to the SPF request and keeps its text in
// cd->scratch. An IPv4-mapped IPv6 address (a dual-stack MTA's view of an
// IPv4 client) is handed over, and shown, in its IPv4 form: the library
// would otherwise judge it against ip6: mechanisms only and fail mail that
// the sender's ip4: mechanisms permit.
bool set_client_address(connection_data *cd, const char *host_name,
                        const struct sockaddr *address) {
  if (address->sa_family == AF_INET6) {
    const auto *sin6 = reinterpret_cast<const struct sockaddr_in6 *>(address);
    if (check_allowlist(host_name, address)) cd->allowlisted = 1;
    if (!IN6_IS_ADDR_V4MAPPED(&sin6->sin6_addr)) {
      if (inet_ntop(AF_INET6, &sin6->sin6_addr, cd->scratch, SCRATCH_SIZE) ==
          nullptr) {
        syslog(LOG_ERR, "couldn't convert IPv6 address to a string - %m");
        return false;
      }
      if (!lib_set_ipv6(cd->lib.get(), cd->scratch)) {
        syslog(LOG_ERR, "lib_set_ipv6() failed - %s",
               lib_error_string(cd->lib.get()));
        return false;
      }
      return true;
    }
    if (inet_ntop(AF_INET, &sin6->sin6_addr.s6_addr[12], cd->scratch,
                  SCRATCH_SIZE) == nullptr) {
      syslog(LOG_ERR, "couldn't convert IPv4 address to a string - %m");
      return false;
    }
  } else if (address->sa_family == AF_INET) {
    const auto *sin = reinterpret_cast<const struct sockaddr_in *>(address);
    if (check_allowlist(host_name, address)) cd->allowlisted = 1;
    if (inet_ntop(AF_INET, &sin->sin_addr, cd->scratch, SCRATCH_SIZE) ==
        nullptr) {
      syslog(LOG_ERR, "couldn't convert IPv4 address to a string - %m");
      return false;
    }
  } else {
    syslog(LOG_ERR, "unknown address family - accepting");
    return false;
  }
  if (!lib_set_ipv4(cd->lib.get(), cd->scratch)) {
    syslog(LOG_ERR, "lib_set_ipv4() failed - %s",
           lib_error_string(cd->lib.get()));
    return false;
  }
  return true;
}

}  // namespace

const char *receiver_or_empty() { return receiver ? receiver.get() : ""; }

void release_receiver() {
  receiver.reset();
  receiver_len = 0;
}

void free_connection_data(connection_data *cd) { delete cd; }

connection_data *get_connection_data(SMFICTX *ctx) {
  return static_cast<connection_data *>(smfi_getpriv(ctx));
}

sfsistat spf_connect(SMFICTX *ctx, char *host_name, _SOCK_ADDR *address) {
  if (address == nullptr) return SMFIS_ACCEPT;

  connection_data *cd = new (std::nothrow) connection_data;
  if (cd == nullptr) {
    syslog(LOG_ERR, "couldn't allocate connection_data");
    return SMFIS_ACCEPT;
  }
  cd->lib.reset(lib_init_connection_data());
  if (!cd->lib) {
    syslog(LOG_ERR, "lib_init_connection_data() failed");
    free_connection_data(cd);
    syslog(LOG_ERR, "couldn't allocate connection_data");
    return SMFIS_ACCEPT;
  }
  if (smfi_setpriv(ctx, cd) != MI_SUCCESS) {
    syslog(LOG_ERR, "smfi_setpriv() failed");
    free_connection_data(cd);
    return SMFIS_ACCEPT;
  }
  // From here on the record stays attached; spf_close releases it.
  if (!determine_receiver(ctx, cd)) return SMFIS_ACCEPT;
  if (!set_client_address(cd, host_name ? host_name : "", address))
    return SMFIS_ACCEPT;
  cd->ip_str = copy_text(cd->scratch);
  if (!cd->ip_str) {
    syslog(LOG_ERR, "couldn't strdup ip_str");
    return SMFIS_ACCEPT;
  }
  // Only for the verdict line: a name that cannot be kept shows as none.
  if (host_name != nullptr) cd->client_name = copy_text(host_name);
  return SMFIS_CONTINUE;
}

sfsistat spf_abort(SMFICTX *ctx) {
  connection_data *cd = get_connection_data(ctx);
  if (cd == nullptr) {
    syslog(LOG_NOTICE, "spf_abort called but cd is null");
    return SMFIS_CONTINUE;
  }
  finish_message(ctx, cd, message_action::aborted);
  cd->mail_from.reset();
  cd->use_mail_from.reset();
  if (cd->accept_due == ACCEPT_DUE_MESSAGE) cd->accept_due = ACCEPT_DUE_NONE;
  return SMFIS_CONTINUE;
}

sfsistat spf_close(SMFICTX *ctx) {
  connection_data *cd = get_connection_data(ctx);
  if (cd == nullptr) {
    syslog(LOG_NOTICE, "spf_close called but cd is null");
    return SMFIS_CONTINUE;
  }
  finish_message(ctx, cd, message_action::aborted);
  smfi_setpriv(ctx, nullptr);
  free_connection_data(cd);
  return SMFIS_CONTINUE;
}
