# Read by cpack for each generator (CPACK_PROJECT_CONFIG_FILE). Without
# dpkg-shlibdeps or file, CPack would quietly build a Debian package whose
# Depends lack libmilter and libc: refuse instead.
if(CPACK_GENERATOR STREQUAL "DEB")
  find_program(_heronsend_shlibdeps dpkg-shlibdeps)
  find_program(_heronsend_file file)
  if(NOT _heronsend_shlibdeps OR NOT _heronsend_file)
    message(FATAL_ERROR "cpack -G DEB needs dpkg-shlibdeps (package dpkg-dev) "
      "and file to work out the package's Depends: run scripts/install-deps package")
  endif()
endif()
