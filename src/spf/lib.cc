#include "spf/lib.h"

#include <syslog.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/config.h"
#include "common/safe_text.h"
#include "spf/check_deadline.h"
#include "spf/dns_cache.h"

extern "C" {
#include <spf2/spf_dns_resolv.h>
}

SPF_server_t *spf_server = nullptr;

namespace {

// The daemon's DNS stack under spf_server (its top layer), when lib_init
// built it. libspf2 does not release a stack it was handed.
SPF_dns_server_t *dns_stack = nullptr;

// libspf2's resolver layer under the check's deadline layer under the
// daemon's bounded cache, or none.
SPF_dns_server_t *new_dns_stack(int debug) {
  SPF_dns_server_t *resolver = SPF_dns_resolv_new(nullptr, nullptr, debug);
  if (resolver == nullptr) return nullptr;
  SPF_dns_server_t *deadline = deadline_layer_new(resolver, debug);
  if (deadline == nullptr) {
    SPF_dns_free(resolver);
    return nullptr;
  }
  SPF_dns_server_t *top = dns_cache_new(deadline, debug, dns_cache_limits{});
  if (top == nullptr) SPF_dns_free(deadline);
  return top;
}

// Writes the compile report of a local policy or explanation that did not
// compile: the header line, then one line per library message (the count is
// read again before every line), then releases the response.
void report_compile_error(const char *what, SPF_errcode_t err,
                          SPF_response_t *response) {
  syslog(LOG_ERR, "error compiling %s - %d (%s)", what, static_cast<int>(err),
         SPF_strerror(err));
  if (response == nullptr) return;
  for (int i = 0; i < SPF_response_messages(response); i++) {
    SPF_error_t *message = SPF_response_message(response, i);
    syslog(LOG_ERR, "  %s: %s", SPF_error_errorp(message) ? "Error" : "Warning",
           SPF_error_message(message));
  }
  SPF_response_free(response);
}

// Records a failed set-up call: its log line and its error code.
bool set_failed(lib_data *lib, const char *call, SPF_errcode_t err) {
  syslog(LOG_ERR, "%s() failed", call);
  lib->last_error = err;
  return false;
}

// True when a query that returned err left a verdict in response. The
// library returns non-zero codes with ordinary verdicts too (no record,
// permerror, temperror: the sender's own broken or unreachable record is
// one of the last two); a query that could not run (out of memory, an
// internal fault, a request missing its inputs) gives no verdict, whatever
// result the response may carry.
bool query_gave_verdict(SPF_errcode_t err, SPF_response_t *response) {
  if (response == nullptr) return false;
  return err != SPF_E_NO_MEMORY && err != SPF_E_INTERNAL_ERROR &&
         err != SPF_E_NOT_CONFIG;
}

// Shared tail of the two queries: keeps the verdict or reports the failure.
// A query that ran out of time ends as temperror, whatever the library made
// of the lookups it was refused (a ptr name that failed is skipped, and a
// -all after it would refuse the mail).
// Measures one query into lib->cost: started at construction, recorded at
// destruction (whatever way the query ends).
class cost_meter {
 public:
  explicit cost_meter(lib_data *lib)
      : lib_(lib),
        start_(std::chrono::steady_clock::now()),
        before_(dns_lookup_tally_of_thread()) {}
  ~cost_meter() {
    dns_lookup_tally after = dns_lookup_tally_of_thread();
    check_cost &c = lib_->cost;
    c.micros = std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::steady_clock::now() - start_)
                   .count();
    c.lookups = static_cast<std::uint32_t>(after.lookups - before_.lookups);
    c.hits = static_cast<std::uint32_t>(after.hits - before_.hits);
    c.failed = static_cast<std::uint32_t>(after.failed - before_.failed);
    c.queries = 1;
  }
  cost_meter(const cost_meter &) = delete;
  cost_meter &operator=(const cost_meter &) = delete;

 private:
  lib_data *lib_;
  std::chrono::steady_clock::time_point start_;
  dns_lookup_tally before_;
};

bool finish_query(lib_data *lib, const char *call, SPF_errcode_t err,
                  const check_deadline &deadline) {
  if (deadline.expired()) {
    syslog(LOG_NOTICE, "SPF check of '%s' ran out of time (%d s) - temperror",
           log_text(lib->request->env_from ? lib->request->env_from : "")
               .c_str(),
           static_cast<int>(CHECK_TIME_LIMIT.count()));
    lib->result = SPF_RESULT_TEMPERROR;
    lib->reason = SPF_REASON_NONE;
    return true;
  }
  if (!query_gave_verdict(err, lib->response)) {
    syslog(LOG_ERR, "%s() failed", call);
    lib->last_error =
        lib->response ? SPF_response_errcode(lib->response) : err;
    if (lib->last_error == SPF_E_SUCCESS) lib->last_error = err;
    return false;
  }
  lib->result = SPF_response_result(lib->response);
  lib->reason = SPF_response_reason(lib->response);
  return true;
}

// Letters, digits, "-", "_" and ".", and not empty.
bool is_host_name(const char *text) {
  if (*text == '\0') return false;
  for (const char *p = text; *p != '\0'; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (!std::isalnum(c) && c != '-' && c != '_' && c != '.') return false;
  }
  return true;
}

// A multi-label domain name: labels of 1 to 63 letters, digits, "-" and
// "_" (the last may be followed by a dot), at least two of them, at most
// 253 characters.
bool is_domain_name(const char *text) {
  std::size_t len = std::strlen(text);
  if (len > 0 && text[len - 1] == '.') len--;
  if (len == 0 || len > 253) return false;
  std::size_t label = 0, labels = 1;
  for (std::size_t i = 0; i < len; i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
      labels++;
    } else if ((std::isalnum(c) || c == '-' || c == '_') && ++label <= 63) {
      continue;
    } else {
      return false;
    }
  }
  return label > 0 && labels >= 2;
}

void release_response(lib_data *lib) {
  if (lib->response) {
    SPF_response_free(lib->response);
    lib->response = nullptr;
  }
}

}  // namespace

lib_data::~lib_data() {
  if (request) SPF_request_free(request);
  if (response) SPF_response_free(response);
}

bool lib_init(SPF_server_dnstype_t dns_type, dns_top_layer add_top) {
  // The library's own messages (with -d, its debugging) go to the system
  // log like the daemon's: after detaching there is no terminal.
  SPF_warning_handler = SPF_warning_syslog;
  SPF_info_handler = SPF_info_syslog;
  SPF_debug_handler = SPF_debug_syslog;

  if (dns_type == SPF_DNS_CACHE) {
    dns_stack = new_dns_stack(config.debug);
    if (dns_stack != nullptr && add_top != nullptr) {
      SPF_dns_server_t *top = add_top(dns_stack);
      if (top == nullptr) SPF_dns_free(dns_stack);
      dns_stack = top;
    }
    if (dns_stack != nullptr)
      spf_server = SPF_server_new_dns(dns_stack, config.debug);
  } else {
    spf_server = SPF_server_new(dns_type, config.debug);
  }
  if (spf_server == nullptr) {
    syslog(LOG_ERR, "SPF_server_new() failed");
    if (dns_stack) SPF_dns_free(dns_stack);
    dns_stack = nullptr;
    return false;
  }
  if (config.local_policy != nullptr) {
    SPF_response_t *response = nullptr;
    SPF_errcode_t err = SPF_server_set_localpolicy(
        spf_server, config.local_policy, config.trusted_forwarders,
        &response);
    if (err != SPF_E_SUCCESS) {
      report_compile_error("local policy", err, response);
      return false;
    }
    if (response) SPF_response_free(response);
  }
  if (config.fail_dmarc && !dmarc_init()) return false;
  if (config.explanation != nullptr) {
    SPF_response_t *response = nullptr;
    SPF_errcode_t err =
        SPF_server_set_explanation(spf_server, config.explanation, &response);
    if (err != SPF_E_SUCCESS) {
      report_compile_error("explanation", err, response);
      return false;
    }
    if (response) SPF_response_free(response);
  }
  return true;
}

void lib_fini() {
  dmarc_fini();
  if (spf_server) {
    SPF_server_free(spf_server);
    spf_server = nullptr;
  }
  if (dns_stack) {
    SPF_dns_free(dns_stack);
    dns_stack = nullptr;
  }
}

lib_data *lib_init_connection_data() {
  lib_data *lib = new (std::nothrow) lib_data;
  if (lib == nullptr) return nullptr;
  lib->request = SPF_request_new(spf_server);
  if (lib->request == nullptr) {
    syslog(LOG_ERR, "SPF_request_new() failed");
    delete lib;
    return nullptr;
  }
  // libspf2 consults the server's local policy (-l, with -t's
  // trusted-forwarder include) only for requests that ask for it, and a new
  // request does not: without this the -l mechanisms would be compiled at
  // start-up and then never applied.
  lib->request->use_local_policy = config.local_policy != nullptr;
  return lib;
}

void lib_free_connection_data(lib_data *lib) { delete lib; }

bool lib_set_local_hostname(lib_data *lib, const char *host_name) {
  SPF_errcode_t err = SPF_server_set_rec_dom(spf_server, host_name);
  if (err != SPF_E_SUCCESS) {
    // The library has dropped its old receiving domain by now, and its
    // queries cannot run without one (they would dereference it): put its
    // own default, this host's name, back.
    SPF_server_set_rec_dom(spf_server, nullptr);
    return set_failed(lib, "SPF_server_set_rec_dom", err);
  }
  return true;
}

bool lib_set_ipv4(lib_data *lib, const char *address) {
  SPF_errcode_t err = SPF_request_set_ipv4_str(lib->request, address);
  if (err != SPF_E_SUCCESS)
    return set_failed(lib, "SPF_request_set_ipv4_str", err);
  return true;
}

bool lib_set_ipv6(lib_data *lib, const char *address) {
  SPF_errcode_t err = SPF_request_set_ipv6_str(lib->request, address);
  if (err != SPF_E_SUCCESS)
    return set_failed(lib, "SPF_request_set_ipv6_str", err);
  return true;
}

bool lib_set_helo_hostname(lib_data *lib, const char *name) {
  SPF_errcode_t err = SPF_request_set_helo_dom(lib->request, name);
  if (err != SPF_E_SUCCESS)
    return set_failed(lib, "SPF_request_set_helo_dom", err);
  return true;
}

bool lib_set_from(lib_data *lib, const char *sender) {
  SPF_errcode_t err = static_cast<SPF_errcode_t>(
      SPF_request_set_env_from(lib->request, sender));
  if (err != SPF_E_SUCCESS)
    return set_failed(lib, "SPF_request_set_env_from", err);
  return true;
}

bool lib_do_check(lib_data *lib) {
  release_response(lib);
  cost_meter meter(lib);
  lib->check_started = std::chrono::steady_clock::now();
  check_deadline deadline;
  SPF_errcode_t err = SPF_request_query_mailfrom(lib->request, &lib->response);
  return finish_query(lib, "SPF_request_query_mailfrom", err, deadline);
}

bool lib_do_helo_check(lib_data *lib, const char *helo) {
  release_response(lib);
  cost_meter meter(lib);
  lib->check_started = std::chrono::steady_clock::now();
  if (!is_domain_name(helo)) {
    lib->result = SPF_RESULT_NONE;
    lib->reason = SPF_REASON_NONE;
    return true;
  }
  char sender[300];
  std::snprintf(sender, sizeof sender, "postmaster@%s", helo);
  if (!lib_set_from(lib, sender)) return false;
  check_deadline deadline;
  SPF_errcode_t err = SPF_request_query_mailfrom(lib->request, &lib->response);
  return finish_query(lib, "SPF_request_query_mailfrom", err, deadline);
}

bool lib_do_rcpt_check(lib_data *lib, const char *recipient) {
  release_response(lib);
  lib->cost = check_cost{};  // a recipient refused below runs no query
  lib->check_started = std::chrono::steady_clock::now();
  // This libspf2 does not strip a local part itself: "user@example.org"
  // would be checked as the domain "@example.org" and never pass.
  const char *at = std::strrchr(recipient, '@');
  const char *domain = at ? at + 1 : recipient;
  // The library checks the domain by compiling the record "v=spf1
  // mx:DOMAIN", so the client's recipient text must be a plain host name:
  // blanks would add mechanisms of the client's choosing, "%" would add
  // macros.
  if (!is_host_name(domain))
    return set_failed(lib, "SPF_request_query_rcptto", SPF_E_INVALID_CHAR);
  cost_meter meter(lib);
  check_deadline deadline;
  SPF_errcode_t err =
      SPF_request_query_rcptto(lib->request, &lib->response, domain);
  return finish_query(lib, "SPF_request_query_rcptto", err, deadline);
}

const char *lib_matched_mechanism(const lib_data *lib) {
#ifdef HERONSEND_SPF2_MATCHED_MECH
  if (lib->response != nullptr)
    return SPF_response_get_matched_mech(lib->response);
#else
  (void)lib;
#endif
  return nullptr;
}

const char *lib_explanation(const lib_data *lib) {
  return lib->response ? SPF_response_get_explanation(lib->response) : nullptr;
}

dmarc_policy lib_dmarc_policy(const lib_data *lib, const char *domain) {
  auto used = std::chrono::steady_clock::now() - lib->check_started;
  return dmarc_discover(spf_server ? spf_server->resolver : nullptr, domain,
                        CHECK_TIME_LIMIT - used);
}

const char *lib_error_string(const lib_data *lib) {
  return SPF_strerror(lib->last_error);
}
