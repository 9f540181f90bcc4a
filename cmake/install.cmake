# Install rules, the man page, shell completions, packaging and their tests.
# Only the command-line tool is installed: no test or fuzz target, and the
# package holds nothing but this component.

# A fuzzing build makes no binary worth installing.
if(TESSIK_FUZZ)
  return()
endif()

include(GNUInstallDirs)

set(TESSIK_INSTALL_COMPONENT tessik-browser)

install(TARGETS tessik-browser
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT ${TESSIK_INSTALL_COMPONENT})

# Man pages ship compressed on the systems that compress them; a system
# without gzip gets the page as written.
set(TESSIK_MAN_SOURCE ${PROJECT_SOURCE_DIR}/man/tessik-browser.1)
find_program(TESSIK_GZIP gzip)
if(TESSIK_GZIP)
  set(TESSIK_MAN_PAGE ${PROJECT_BINARY_DIR}/man/tessik-browser.1.gz)
  add_custom_command(
    OUTPUT ${TESSIK_MAN_PAGE}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND ${CMAKE_COMMAND} -E copy ${TESSIK_MAN_SOURCE} ${PROJECT_BINARY_DIR}/man/tessik-browser.1
    # -n leaves the name and time out, so the same page gives the same bytes.
    COMMAND ${TESSIK_GZIP} -9nf ${PROJECT_BINARY_DIR}/man/tessik-browser.1
    DEPENDS ${TESSIK_MAN_SOURCE}
    COMMENT "Compressing the man page"
    VERBATIM)
  add_custom_target(tessik-browser-man ALL DEPENDS ${TESSIK_MAN_PAGE})
else()
  set(TESSIK_MAN_PAGE ${TESSIK_MAN_SOURCE})
endif()
install(FILES ${TESSIK_MAN_PAGE}
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT ${TESSIK_INSTALL_COMPONENT})

# Each shell looks for its completions under its own name, in its own place.
install(FILES ${PROJECT_SOURCE_DIR}/completions/tessik-browser.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME tessik-browser
        COMPONENT ${TESSIK_INSTALL_COMPONENT})
install(FILES ${PROJECT_SOURCE_DIR}/completions/_tessik-browser
        DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/site-functions
        COMPONENT ${TESSIK_INSTALL_COMPONENT})
install(FILES ${PROJECT_SOURCE_DIR}/completions/tessik-browser.fish
        DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d
        COMPONENT ${TESSIK_INSTALL_COMPONENT})

# Packaging: `cpack -G DEB` in the build tree.
set(TESSIK_PACKAGE_MAINTAINER "tessik-browser maintainers <maintainers@tessik-browser.invalid>"
    CACHE STRING "Maintainer named in the packages")
set(CPACK_PACKAGE_NAME tessik-browser)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "tessik-browser")
set(CPACK_PACKAGE_CONTACT "${TESSIK_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "drive Tessik's native browser from the shell")
set(CPACK_PACKAGE_DESCRIPTION
    "tessik-browser performs one command of the built-in web browser of a running
Tessik desktop application per run: print the page URL, title or visible
text, navigate, go back or forward, reload, run a script and print its
result, click an element or type into an input. It reaches Tessik over one
HTTP request on the loopback interface.")
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_STRIP_FILES ON)
# Only the tool's own component, whatever else the tree installs.
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${PROJECT_BINARY_DIR};${PROJECT_NAME};${TESSIK_INSTALL_COMPONENT};/")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR TGZ)
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  list(APPEND CPACK_GENERATOR DEB)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The release binary is static and needs no library; other builds get their
# dependencies from what they link.
find_program(TESSIK_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TESSIK_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)

if(BUILD_TESTING AND CMAKE_CROSSCOMPILING)
  # They run the built binary from shell scripts, which cannot run the
  # target's; what they check does not depend on the target.
  message(STATUS "cross build: the install-labelled tests are not registered")
elseif(BUILD_TESTING)
  set(install_tests ${PROJECT_SOURCE_DIR}/tests/install)
  set(tessik_browser_binary $<TARGET_FILE:tessik-browser>)
  get_filename_component(man_page_name ${TESSIK_MAN_PAGE} NAME)

  add_test(NAME install.man_page
           COMMAND bash ${install_tests}/man_test.sh ${tessik_browser_binary} ${TESSIK_MAN_SOURCE})
  add_test(NAME install.bash_completion
           COMMAND bash ${install_tests}/bash_completion_test.sh
                   ${PROJECT_SOURCE_DIR}/completions/tessik-browser.bash)
  add_test(NAME install.zsh_completion
           COMMAND bash ${install_tests}/zsh_completion_test.sh
                   ${PROJECT_SOURCE_DIR}/completions ${tessik_browser_binary})
  add_test(NAME install.fish_completion
           COMMAND bash ${install_tests}/fish_completion_test.sh
                   ${PROJECT_SOURCE_DIR}/completions/tessik-browser.fish ${tessik_browser_binary})
  add_test(NAME install.tree
           COMMAND bash ${install_tests}/install_test.sh ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR}
                   ${tessik_browser_binary} ${man_page_name})
  set(install_test_names install.man_page install.bash_completion install.zsh_completion
                         install.fish_completion install.tree)
  # A package of a sanitizer build would ship a binary nobody should run.
  if(NOT TESSIK_SANITIZE)
    add_test(NAME install.deb_package
             COMMAND bash ${install_tests}/deb_test.sh ${PROJECT_BINARY_DIR}
                     ${tessik_browser_binary} ${PROJECT_VERSION} ${man_page_name})
    list(APPEND install_test_names install.deb_package)
  endif()
  set_tests_properties(${install_test_names} PROPERTIES
                       LABELS install SKIP_RETURN_CODE 77 TIMEOUT 60)
endif()
