#include "common/version.h"

extern "C" {
#include <netinet/in.h>
#include <spf2/spf.h>
}

#include <cstdio>

char version_text[VERSION_TEXT_SIZE];

void build_version_text() {
  std::snprintf(version_text, sizeof version_text, "libspf2-%d.%d.%d",
                SPF_LIB_VERSION_MAJOR, SPF_LIB_VERSION_MINOR,
                SPF_LIB_VERSION_PATCH);
}
