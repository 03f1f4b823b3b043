// DMARC policy discovery for -o fail=dmarc.
//
// Under that choice a sender whose SPF check fails is refused only when its
// domain publishes no DMARC policy that enforces: with p=quarantine or
// p=reject (RFC 7489 6.3) the DMARC filter after this one judges the
// message, and passes a forwarded message on its aligned DKIM signature.
// Discovery follows RFC 7489 6.6.3: the TXT records of _dmarc.DOMAIN, then,
// when there is no DMARC record there, those of _dmarc.ORG, ORG
// being the organizational domain (the registrable domain by the Public
// Suffix List: libpsl with Debian's publicsuffix data); a record found at
// ORG for a subdomain gives its sp= policy, else its p=.
//
// The lookups go through the SPF server's DNS stack (the daemon's cache and
// the check's time limit, spf/check_deadline.h).
//
// Threads: dmarc_init and dmarc_fini at start-up and shutdown only; the
// Public Suffix List is read-only in between.

#ifndef HERONSEND_SPF_DMARC_H_
#define HERONSEND_SPF_DMARC_H_

#include <chrono>
#include <cstddef>
#include <string_view>

extern "C" {
#include <netinet/in.h>
#include <spf2/spf.h>
#include <spf2/spf_dns.h>
}

enum class dmarc_policy_kind {
  none,        // no DMARC record (or none that is valid)
  monitor,     // p=none
  enforcing,   // p=quarantine or p=reject
  failed,      // a lookup failed or ran out of time: nothing known
};

constexpr std::size_t DMARC_DOMAIN_SIZE = 256;

struct dmarc_policy {
  dmarc_policy_kind kind = dmarc_policy_kind::none;
  char policy[12] = {};                   // "none", "quarantine", "reject"
  char found_at[DMARC_DOMAIN_SIZE] = {};  // the domain whose record it is
};

// One DMARC record's policy: the p= (or, with subdomain, the sp= if there
// is one) of a record whose first tag is v=DMARC1 (RFC 7489 6.4: tags
// separated by ";", blanks around them allowed, values in any letter
// case). True and *kind set for a DMARC record with a valid policy; false
// for anything else.
bool dmarc_parse_record(std::string_view text, bool subdomain,
                        dmarc_policy_kind *kind, std::string_view *word);

// Loads the Public Suffix List (the newer of Debian's publicsuffix data and
// libpsl's built-in copy). False, logged, when neither loads.
bool dmarc_init();
void dmarc_fini();

// The organizational domain of a lower-case domain name (its registrable
// domain), written to out; false when there is none (a public suffix, or no
// list loaded).
bool organizational_domain(const char *domain, char (&out)[DMARC_DOMAIN_SIZE]);

// Discovers the DMARC policy of the domain (any letter case) through the
// given DNS layer, within limit. A name that is not a plain domain name
// has no policy.
dmarc_policy dmarc_discover(SPF_dns_server_t *dns, const char *domain,
                            std::chrono::steady_clock::duration limit);

#endif  // HERONSEND_SPF_DMARC_H_
