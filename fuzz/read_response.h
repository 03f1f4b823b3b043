// Shared by the SPF fuzz targets: reads every text of a query's response,
// so that a malformed text shows up under the sanitizers.

#ifndef HERONSEND_FUZZ_READ_RESPONSE_H_
#define HERONSEND_FUZZ_READ_RESPONSE_H_

#include <cstring>

#include "spf/lib.h"

inline void read_response_texts(SPF_response_t *response) {
  const char *texts[] = {
      SPF_response_get_explanation(response),
      SPF_response_get_smtp_comment(response),
      SPF_response_get_received_spf(response),
  };
  volatile std::size_t total = 0;
  for (const char *t : texts)
    if (t) total = total + std::strlen(t);
}

#endif  // HERONSEND_FUZZ_READ_RESPONSE_H_
