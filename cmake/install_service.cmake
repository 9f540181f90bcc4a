# Run by `cmake --install` and cpack: writes one of the host's service files
# (TESSIK_TEMPLATE, a .in file) into TESSIK_DESTINATION under the prefix, with
# the installed binary's path in it. That path is known only now: the prefix
# may be given at install time, and under an archive's install the prefix is
# a staging folder, so cpack_project.cmake passes the package's own.
if(DEFINED ENV{TESSIK_PACKAGE_PREFIX})
  set(prefix "$ENV{TESSIK_PACKAGE_PREFIX}")
else()
  set(prefix "${CMAKE_INSTALL_PREFIX}")
endif()
set(TESSIK_HOST_BINARY "${prefix}/${TESSIK_BINDIR}/tessik-browser-host")
get_filename_component(name "${TESSIK_TEMPLATE}" NAME_WLE)
set(target "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${TESSIK_DESTINATION}/${name}")
message(STATUS "Installing: ${target}")
configure_file("${TESSIK_TEMPLATE}" "${target}" @ONLY)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${target}")
