#include "spf/dmarc.h"

#include <libpsl.h>
#include <netdb.h>
#include <strings.h>
#include <syslog.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "spf/check_deadline.h"

namespace {

// Loaded at start-up, read-only afterwards.
psl_ctx_t *suffix_list = nullptr;

std::string_view trim(std::string_view t) {
  while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.remove_prefix(1);
  while (!t.empty() && (t.back() == ' ' || t.back() == '\t')) t.remove_suffix(1);
  return t;
}

bool same_word(std::string_view a, const char *b) {
  return a.size() == std::strlen(b) && strncasecmp(a.data(), b, a.size()) == 0;
}

// Letters, digits, "-", "_" and "." in labels of 1 to 63, at most 253 in
// all (a trailing dot dropped by the caller).
bool plain_domain(std::string_view d) {
  if (d.empty() || d.size() > 253) return false;
  std::size_t label = 0;
  for (char c : d) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
    } else if ((std::isalnum(u) || c == '-' || c == '_') && ++label <= 63) {
      continue;
    } else {
      return false;
    }
  }
  return label > 0;
}

enum class lookup_outcome { found, absent, failed };

// The single DMARC record at _dmarc.domain (RFC 7489 6.6.3: none, or more
// than one, is no record).
lookup_outcome lookup_record(SPF_dns_server_t *dns, const char *domain,
                             bool subdomain, dmarc_policy *out) {
  char name[DMARC_DOMAIN_SIZE + 8];
  std::snprintf(name, sizeof name, "_dmarc.%s", domain);
  SPF_dns_rr_t *rr = SPF_dns_lookup(dns, name, ns_t_txt, 0);
  if (rr == nullptr) return lookup_outcome::failed;
  lookup_outcome outcome = lookup_outcome::absent;
  if (rr->herrno == NETDB_SUCCESS) {
    // Records that begin with the version tag count; one whose policy is
    // not valid, or more than one, ends the discovery without a policy.
    int records = 0;
    dmarc_policy_kind kind = dmarc_policy_kind::none;
    std::string_view word;
    bool valid = false;
    // libspf2 joins the strings of one TXT record into one text.
    for (int i = 0; i < rr->num_rr && i < 64; i++) {
      const char *txt = rr->rr[i] ? rr->rr[i]->txt : nullptr;
      if (txt == nullptr) continue;
      std::string_view text(txt, strnlen(txt, 4096));
      if (text.size() < 8 || text.substr(0, 8) != "v=DMARC1") continue;
      if (++records == 1) valid = dmarc_parse_record(text, subdomain, &kind, &word);
    }
    if (records > 0) {
      outcome = lookup_outcome::found;
      std::snprintf(out->found_at, sizeof out->found_at, "%s", domain);
      if (records == 1 && valid) {
        out->kind = kind;
        std::size_t n = 0;
        for (; n < word.size() && n < sizeof out->policy - 1; n++)
          out->policy[n] = static_cast<char>(
              std::tolower(static_cast<unsigned char>(word[n])));
        out->policy[n] = '\0';
      }
    }
  } else if (rr->herrno != HOST_NOT_FOUND && rr->herrno != NO_DATA) {
    outcome = lookup_outcome::failed;
  }
  SPF_dns_rr_free(rr);
  return outcome;
}

}  // namespace

bool dmarc_parse_record(std::string_view text, bool subdomain,
                        dmarc_policy_kind *kind, std::string_view *word) {
  std::string_view p, sp;
  bool first = true;
  while (!text.empty()) {
    std::size_t semi = text.find(';');
    std::string_view tag = trim(text.substr(0, semi));
    text = semi == std::string_view::npos ? std::string_view() : text.substr(semi + 1);
    if (tag.empty()) continue;
    std::size_t eq = tag.find('=');
    if (eq == std::string_view::npos) return false;
    std::string_view key = trim(tag.substr(0, eq)), value = trim(tag.substr(eq + 1));
    if (first) {
      // The version tag comes first and exactly as RFC 7489 spells it.
      if (key != "v" || value != "DMARC1") return false;
      first = false;
    } else if (same_word(key, "p")) {
      p = value;
    } else if (same_word(key, "sp")) {
      sp = value;
    }
  }
  if (first) return false;
  std::string_view chosen = subdomain && !sp.empty() ? sp : p;
  if (same_word(chosen, "none")) *kind = dmarc_policy_kind::monitor;
  else if (same_word(chosen, "quarantine") || same_word(chosen, "reject"))
    *kind = dmarc_policy_kind::enforcing;
  else
    return false;
  *word = chosen;
  return true;
}

bool dmarc_init() {
  if (suffix_list != nullptr) return true;
  // psl_latest: Debian's publicsuffix data (the file libpsl was built to
  // read) unless libpsl's own copy is newer.
  suffix_list = psl_latest(nullptr);
  if (suffix_list == nullptr) {
    syslog(LOG_ERR, "psl_latest() failed - no Public Suffix List");
    return false;
  }
  return true;
}

void dmarc_fini() {
  if (suffix_list) psl_free(suffix_list);
  suffix_list = nullptr;
}

bool organizational_domain(const char *domain, char (&out)[DMARC_DOMAIN_SIZE]) {
  if (suffix_list == nullptr) return false;
  const char *registrable = psl_registrable_domain(suffix_list, domain);
  if (registrable == nullptr) return false;
  std::snprintf(out, sizeof out, "%s", registrable);
  return true;
}

dmarc_policy dmarc_discover(SPF_dns_server_t *dns, const char *domain,
                            std::chrono::steady_clock::duration limit) {
  dmarc_policy policy;
  char lower[DMARC_DOMAIN_SIZE];
  std::size_t n = 0;
  for (; domain[n] != '\0' && n < sizeof lower - 1; n++)
    lower[n] = static_cast<char>(std::tolower(static_cast<unsigned char>(domain[n])));
  if (domain[n] != '\0') return policy;  // too long for a domain name
  if (n > 0 && lower[n - 1] == '.') n--;
  lower[n] = '\0';
  if (!plain_domain(std::string_view(lower, n)) || dns == nullptr) return policy;

  check_deadline deadline(limit);
  lookup_outcome outcome = lookup_record(dns, lower, false, &policy);
  if (outcome == lookup_outcome::absent) {
    char org[DMARC_DOMAIN_SIZE];
    if (organizational_domain(lower, org) && std::strcmp(org, lower) != 0)
      outcome = lookup_record(dns, org, true, &policy);
  }
  if (outcome == lookup_outcome::failed || deadline.expired()) {
    policy = dmarc_policy{};
    policy.kind = dmarc_policy_kind::failed;
    std::snprintf(policy.found_at, sizeof policy.found_at, "%s", lower);
  }
  return policy;
}
