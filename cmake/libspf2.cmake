# Provides the target heronsend::spf2: the SPF library the daemon links.
#
# By default this is libspf2 1.2.10 built here, as a static library linked
# into the daemon, from Debian's orig tarball with the patches of
# patches/libspf2/ (fixes for memory bugs that DNS data reaches, and build
# fixes). scripts/fetch-libspf2 fetches, checks and patches the source into
# third_party/; configuring runs it, and it does nothing when the source is
# already there and current. The C files are compiled directly (no
# autotools), so they get the tree's compiler and sanitizer flags.
#
# -DHERONSEND_SYSTEM_LIBSPF2=ON links the system's libspf2 (libspf2-dev)
# instead, for a distribution whose library carries these fixes.

option(HERONSEND_SYSTEM_LIBSPF2
  "Link the system's libspf2 instead of building the patched copy" OFF)

if(HERONSEND_SYSTEM_LIBSPF2)
  find_path(SPF2_INCLUDE_DIR spf2/spf.h REQUIRED)
  find_library(SPF2_LIBRARY NAMES spf2 REQUIRED)
  add_library(heronsend::spf2 UNKNOWN IMPORTED)
  set_target_properties(heronsend::spf2 PROPERTIES
    IMPORTED_LOCATION "${SPF2_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${SPF2_INCLUDE_DIR}")
  return()
endif()

set(HERONSEND_LIBSPF2_VERSION_MAJOR 1)
set(HERONSEND_LIBSPF2_VERSION_MINOR 2)
set(HERONSEND_LIBSPF2_VERSION_PATCH 10)
set(_spf2_src "${PROJECT_SOURCE_DIR}/third_party/libspf2-1.2.10")

execute_process(COMMAND "${PROJECT_SOURCE_DIR}/scripts/fetch-libspf2"
  RESULT_VARIABLE _spf2_fetch)
if(NOT _spf2_fetch EQUAL 0)
  message(FATAL_ERROR "scripts/fetch-libspf2 failed: the libspf2 source is "
    "not available (or configure with -DHERONSEND_SYSTEM_LIBSPF2=ON)")
endif()
# Configure again (and so bring the source up to date) when a patch, the
# checksum or the script changes.
file(GLOB _spf2_patches CONFIGURE_DEPENDS
  "${PROJECT_SOURCE_DIR}/patches/libspf2/*.patch")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${_spf2_patches}
  "${PROJECT_SOURCE_DIR}/cmake/libspf2/source.sha256"
  "${PROJECT_SOURCE_DIR}/scripts/fetch-libspf2"
  "${_spf2_src}/.heronsend-stamp")

# The public headers, laid out as the daemon includes them (<spf2/spf.h>),
# with the version header generated here.
set(_spf2_include "${CMAKE_BINARY_DIR}/libspf2/include")
foreach(_h spf.h spf_dns.h spf_dns_cache.h spf_dns_null.h spf_dns_resolv.h
    spf_dns_rr.h spf_dns_test.h spf_dns_zone.h spf_log.h spf_record.h
    spf_request.h spf_response.h spf_server.h)
  configure_file("${_spf2_src}/src/include/${_h}" "${_spf2_include}/spf2/${_h}"
    COPYONLY)
endforeach()
configure_file("${PROJECT_SOURCE_DIR}/cmake/libspf2/spf_lib_version.h.in"
  "${_spf2_include}/spf2/spf_lib_version.h" @ONLY)

add_library(heronsend_spf2 STATIC)
foreach(_c spf_compile.c spf_dns.c spf_dns_cache.c spf_dns_null.c
    spf_dns_resolv.c spf_dns_rr.c spf_dns_test.c spf_dns_zone.c spf_expand.c
    spf_get_exp.c spf_get_spf.c spf_id2str.c spf_interpret.c spf_log.c
    spf_log_default.c spf_log_stdio.c spf_log_syslog.c spf_print.c
    spf_record.c spf_request.c spf_response.c spf_server.c spf_strerror.c
    spf_utils.c)
  target_sources(heronsend_spf2 PRIVATE "${_spf2_src}/src/libspf2/${_c}")
endforeach()
# The copied public headers come first, so the library sees the generated
# version header; its private headers and config.h follow.
target_include_directories(heronsend_spf2 PRIVATE
  "${_spf2_include}/spf2"
  "${_spf2_src}/src/include"
  "${PROJECT_SOURCE_DIR}/cmake/libspf2")
target_include_directories(heronsend_spf2 SYSTEM INTERFACE "${_spf2_include}")
target_compile_definitions(heronsend_spf2 PRIVATE HAVE_CONFIG_H)
# patches/libspf2/25: responses note the mechanism that matched (a system
# libspf2 does not, and lib_matched_mechanism then has nothing to say).
target_compile_definitions(heronsend_spf2 INTERFACE HERONSEND_SPF2_MATCHED_MECH)
# Third-party code: its warnings are not the project's (no -Werror), and
# only the daemon sees its symbols.
set_target_properties(heronsend_spf2 PROPERTIES
  C_VISIBILITY_PRESET hidden
  C_EXTENSIONS ON)
target_compile_options(heronsend_spf2 PRIVATE -w)
target_link_libraries(heronsend_spf2 INTERFACE resolv Threads::Threads)
add_library(heronsend::spf2 ALIAS heronsend_spf2)
