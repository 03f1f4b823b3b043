# Provides the target heronsend::spf2: the SPF library the daemon links.
# For now this is the system's libspf2 (libspf2-dev).
find_path(SPF2_INCLUDE_DIR spf2/spf.h REQUIRED)
find_library(SPF2_LIBRARY NAMES spf2 REQUIRED)
add_library(heronsend::spf2 UNKNOWN IMPORTED)
set_target_properties(heronsend::spf2 PROPERTIES
  IMPORTED_LOCATION "${SPF2_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${SPF2_INCLUDE_DIR}")
