# Read by cpack for each generator. Debian's description starts with a
# summary line, which each component package brings in its own description;
# cpack would put the project's summary above it.
if(CPACK_GENERATOR STREQUAL "DEB")
  unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)
endif()
# The host's service files name the installed binary (install_service.cmake).
set(ENV{TESSIK_PACKAGE_PREFIX} "${CPACK_PACKAGING_INSTALL_PREFIX}")
