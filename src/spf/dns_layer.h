// Making one of the daemon's own layers of libspf2's stack of DNS layers.
//
// libspf2 asks a layer through its lookup function and frees it with
// SPF_dns_free, which calls the layer's destroy function and then frees the
// layer below; destroy releases the layer's own state (its hook) and the
// layer itself with free().

#ifndef HERONSEND_SPF_DNS_LAYER_H_
#define HERONSEND_SPF_DNS_LAYER_H_

extern "C" {
#include <netinet/in.h>
#include <spf2/spf.h>
#include <spf2/spf_dns.h>
}

// A new layer (allocated with calloc) with that name, lookup and destroy
// function over layer_below, its state in hook; none when memory runs out.
SPF_dns_server_t *dns_layer_new(const char *name, SPF_dns_lookup_t lookup,
                                SPF_dns_destroy_t destroy,
                                SPF_dns_server_t *layer_below, int debug,
                                void *hook);

#endif  // HERONSEND_SPF_DNS_LAYER_H_
