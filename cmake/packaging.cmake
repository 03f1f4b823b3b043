# Install layout and the Debian package (cpack -G DEB in the build tree).
#
#   sbin/heronsend                     the daemon (install(TARGETS) in src/)
#   bin/heronsend-check                the check by hand (likewise)
#   share/man/man8/heronsend.8.gz      the manual pages
#   share/man/man1/heronsend-check.1.gz
#   share/doc/heronsend/               README.md, admin.md, allowlist.example,
#                                      copyright, changelog.Debian.gz
#   share/doc/heronsend/docs/          docs/*.md, which the README names by
#                                      these relative paths
#   /lib/systemd/system/heronsend.service   the unit (Debian 12's unit path)
#   /etc/default/heronsend             the unit's options (a conffile)
#
# The unit and the options file have absolute destinations because systemd
# and the unit look for them there whatever the prefix; override them with
# -DHERONSEND_SYSTEMD_UNIT_DIR=... and -DHERONSEND_DEFAULT_DIR=.... The unit
# starts /usr/sbin/heronsend, the package's layout (prefix /usr).

set(HERONSEND_SYSTEMD_UNIT_DIR "/lib/systemd/system" CACHE PATH
  "Where the systemd unit is installed")
set(HERONSEND_DEFAULT_DIR "/etc/default" CACHE PATH
  "Where the unit's options file is installed")

set(_pkg "${PROJECT_SOURCE_DIR}/packaging")
set(_pkg_out "${CMAKE_BINARY_DIR}/packaging")
file(MAKE_DIRECTORY "${_pkg_out}")

find_program(HERONSEND_GZIP gzip REQUIRED)

# Debian wants manual pages and the changelog compressed, reproducibly (-n:
# no name or time stamp in the gzip header).
function(heronsend_gzip source output)
  add_custom_command(OUTPUT "${output}"
    COMMAND "${HERONSEND_GZIP}" -9 -n -c "${source}" > "${output}"
    DEPENDS "${source}"
    COMMENT "Compressing ${source}"
    VERBATIM)
endfunction()
heronsend_gzip("${PROJECT_SOURCE_DIR}/man/heronsend.8" "${_pkg_out}/heronsend.8.gz")
heronsend_gzip("${PROJECT_SOURCE_DIR}/man/heronsend-check.1"
  "${_pkg_out}/heronsend-check.1.gz")
# A package version with a Debian revision makes the changelog the
# Debian one: changelog.Debian.gz, as lintian expects.
heronsend_gzip("${_pkg}/changelog" "${_pkg_out}/changelog.Debian.gz")
add_custom_target(heronsend_package_files ALL
  DEPENDS "${_pkg_out}/heronsend.8.gz" "${_pkg_out}/heronsend-check.1.gz"
    "${_pkg_out}/changelog.Debian.gz")

# The copyright file names the built-in libspf2's terms too, taken from its
# source when it is built here: its statement and the BSD licence text; the
# LGPL text is the system's own copy (/usr/share/common-licenses).
file(READ "${_pkg}/copyright.in" _copyright)
set(_spf2_licenses "${PROJECT_SOURCE_DIR}/third_party/libspf2-1.2.10/LICENSES")
if(NOT HERONSEND_SYSTEM_LIBSPF2 AND EXISTS "${_spf2_licenses}")
  file(READ "${_spf2_licenses}" _spf2_text)
  string(FIND "${_spf2_text}" "The LGPL 2.1 license:" _lgpl_at)
  string(FIND "${_spf2_text}" "The two-clause BSD license:" _bsd_at)
  if(_lgpl_at EQUAL -1 OR _bsd_at EQUAL -1)
    message(FATAL_ERROR "${_spf2_licenses}: licence sections not found")
  endif()
  string(SUBSTRING "${_spf2_text}" 0 ${_lgpl_at} _statement)
  string(SUBSTRING "${_spf2_text}" ${_bsd_at} -1 _bsd)
  string(APPEND _copyright "${_statement}" "${_bsd}")
endif()
file(WRITE "${_pkg_out}/copyright.tmp" "${_copyright}")
configure_file("${_pkg_out}/copyright.tmp" "${_pkg_out}/copyright" COPYONLY)

install(FILES "${_pkg_out}/heronsend.8.gz" DESTINATION share/man/man8)
install(FILES "${_pkg_out}/heronsend-check.1.gz" DESTINATION share/man/man1)
install(FILES
    "${PROJECT_SOURCE_DIR}/README.md"
    "${PROJECT_SOURCE_DIR}/docs/admin.md"
    "${_pkg}/allowlist.example"
    "${_pkg_out}/copyright"
    "${_pkg_out}/changelog.Debian.gz"
  DESTINATION share/doc/heronsend)
install(DIRECTORY "${PROJECT_SOURCE_DIR}/docs/" DESTINATION share/doc/heronsend/docs
  FILES_MATCHING PATTERN "*.md")
install(FILES "${_pkg}/heronsend.service" DESTINATION "${HERONSEND_SYSTEMD_UNIT_DIR}")
# packaging/default is the conffile /etc/default/heronsend: it stays as
# the previous release shipped it, comments included (a changed file stops
# the upgrade of every administrator who edited it with dpkg's question;
# the piuparts test fails on it). Package defaults go into the unit's
# HERONSEND_DEFAULT_OPTIONS.
install(FILES "${_pkg}/default" DESTINATION "${HERONSEND_DEFAULT_DIR}"
  RENAME heronsend)

# --- CPack: one binary Debian package -------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME heronsend)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
# The package's version is the top entry of packaging/changelog, as for any
# Debian package: the daemon's version (PROJECT_VERSION, in its start line
# and headers) and a Debian revision, so that every released package has
# a version of its own and the one before it can be built from git history
# (tests/package/previous_release.py finds it through this file).
file(STRINGS "${_pkg}/changelog" _changelog_top LIMIT_COUNT 1)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_pkg}/changelog")
if(NOT _changelog_top MATCHES "^heronsend \\(([0-9][0-9.]*)(-([0-9A-Za-z.+~]+))?\\) ")
  message(FATAL_ERROR "packaging/changelog: no version in its first line: ${_changelog_top}")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "packaging/changelog's version ${CMAKE_MATCH_1} is not "
    "the project's ${PROJECT_VERSION}")
endif()
if(CMAKE_MATCH_3)
  set(CPACK_DEBIAN_PACKAGE_RELEASE "${CMAKE_MATCH_3}")
endif()
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "heronsend maintainers <maintainers@heronsend.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SPF mail filter (milter) for Postfix and Sendmail")
# CPack puts the summary above this text as the synopsis line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "heronsend checks the sender of every incoming message with SPF (Sender
Policy Framework) while the SMTP session is still open. It speaks the
milter protocol, so Postfix and Sendmail hand it each connection; hard SPF
fails are refused with 550 5.7.1 (or only marked), every other verdict is
recorded in a Received-SPF header, and clients on an allowlist or senders
that authenticated skip the check.
.
heronsend-check asks the same SPF engine by hand why a sender gets its
verdict, with the DNS lookups it made.
.
The SPF library (libspf2 1.2.10 with fixes for crashes that published SPF
records can cause) is built into the daemon.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "http://www.heronsend.org/")
# Depends: the shared libraries the binary really uses (dpkg-shlibdeps:
# libmilter, libpsl and libc; libspf2 is linked in statically), plus adduser
# for the maintainer scripts and publicsuffix, the Public Suffix List libpsl
# reads for -o fail=dmarc (newer than the copy built into libpsl).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_SOURCE_DIR}/cmake/cpack_checks.cmake")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, publicsuffix")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${_pkg}/debian/conffiles"
  "${_pkg}/debian/postinst"
  "${_pkg}/debian/prerm"
  "${_pkg}/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Directories the package makes are 0755 whatever the builder's umask.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
