#include "spf/dns_layer.h"

#include <cstdlib>

SPF_dns_server_t *dns_layer_new(const char *name, SPF_dns_lookup_t lookup,
                                SPF_dns_destroy_t destroy,
                                SPF_dns_server_t *layer_below, int debug,
                                void *hook) {
  auto *layer =
      static_cast<SPF_dns_server_t *>(std::calloc(1, sizeof(SPF_dns_server_t)));
  if (layer == nullptr) return nullptr;
  layer->destroy = destroy;
  layer->lookup = lookup;
  layer->layer_below = layer_below;
  layer->name = name;
  layer->debug = debug;
  layer->hook = hook;
  return layer;
}
