# Install rules, the man pages, shell completions, packaging and their tests.
# Two components, each its own package: the command-line tool, and the host
# that serves it from a headless Chromium, with its service files. No test or
# fuzz target is installed.

# A fuzzing build makes no binary worth installing.
if(TESSIK_FUZZ)
  return()
endif()

include(GNUInstallDirs)

set(TESSIK_INSTALL_COMPONENT tessik-browser)
set(TESSIK_HOST_COMPONENT tessik-browser-host)

install(TARGETS tessik-browser
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT ${TESSIK_INSTALL_COMPONENT})

# Man pages ship compressed on the systems that compress them; a system
# without gzip gets the page as written. Sets `<name>_installed` to the file
# that is installed.
find_program(TESSIK_GZIP gzip)
function(tessik_man_page name component)
  set(source ${PROJECT_SOURCE_DIR}/man/${name})
  set(page ${source})
  if(TESSIK_GZIP)
    set(page ${PROJECT_BINARY_DIR}/man/${name}.gz)
    add_custom_command(
      OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND ${CMAKE_COMMAND} -E copy ${source} ${PROJECT_BINARY_DIR}/man/${name}
      # -n leaves the name and time out, so the same page gives the same bytes.
      COMMAND ${TESSIK_GZIP} -9nf ${PROJECT_BINARY_DIR}/man/${name}
      DEPENDS ${source}
      COMMENT "Compressing the man page ${name}"
      VERBATIM)
    add_custom_target(${component}-man ALL DEPENDS ${page})
  endif()
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
  set(${name}_installed ${page} PARENT_SCOPE)
endfunction()

set(TESSIK_MAN_SOURCE ${PROJECT_SOURCE_DIR}/man/tessik-browser.1)
tessik_man_page(tessik-browser.1 ${TESSIK_INSTALL_COMPONENT})
set(TESSIK_MAN_PAGE ${tessik-browser.1_installed})

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

# The host: its binary and its page. A build without it (no src/host) makes
# the tool's package alone.
if(TARGET tessik-browser-host)
  install(TARGETS tessik-browser-host
          RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT ${TESSIK_HOST_COMPONENT})
  set(TESSIK_HOST_MAN_SOURCE ${PROJECT_SOURCE_DIR}/man/tessik-browser-host.1)
  tessik_man_page(tessik-browser-host.1 ${TESSIK_HOST_COMPONENT})
  set(TESSIK_HOST_MAN_PAGE ${tessik-browser-host.1_installed})
  # Starting with the session: a systemd user unit where systemd looks for
  # one, and a launchd agent for each user to copy into ~/Library/LaunchAgents.
  foreach(service IN ITEMS
          "systemd/tessik-browser-host.service.in|lib/systemd/user"
          "launchd/tessik-browser-host.plist.in|${CMAKE_INSTALL_DATADIR}/tessik-browser-host")
    string(REPLACE "|" ";" service "${service}")
    list(GET service 0 template)
    list(GET service 1 destination)
    install(CODE "set(TESSIK_TEMPLATE \"${PROJECT_SOURCE_DIR}/packaging/${template}\")
                  set(TESSIK_DESTINATION \"${destination}\")
                  set(TESSIK_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
                  include(\"${CMAKE_CURRENT_LIST_DIR}/install_service.cmake\")"
            COMPONENT ${TESSIK_HOST_COMPONENT})
  endforeach()
  set(TESSIK_PACKAGED_COMPONENTS ${TESSIK_INSTALL_COMPONENT} ${TESSIK_HOST_COMPONENT})
else()
  set(TESSIK_PACKAGED_COMPONENTS ${TESSIK_INSTALL_COMPONENT})
endif()

# Packaging: `cpack -G DEB` in the build tree makes one package per component.
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
# Only the shipped components, whatever else the tree installs.
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};ALL;/")
set(CPACK_COMPONENTS_ALL ${TESSIK_PACKAGED_COMPONENTS})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR TGZ)
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  list(APPEND CPACK_GENERATOR DEB)
endif()

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Component packages are named after their component, not prefixed with the
# project's name, and each description starts with its own summary.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack_project.cmake)
set(CPACK_DEBIAN_TESSIK-BROWSER_PACKAGE_NAME tessik-browser)
set(CPACK_COMPONENT_TESSIK-BROWSER_DESCRIPTION
    "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}\n${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_DEBIAN_TESSIK-BROWSER-HOST_PACKAGE_NAME tessik-browser-host)
set(CPACK_COMPONENT_TESSIK-BROWSER-HOST_DESCRIPTION
    "serve tessik-browser from a headless Chromium
tessik-browser-host is an endpoint for tessik-browser without the Tessik
desktop application: it starts a headless Chromium, announces itself where
tessik-browser looks for Tessik, and runs each command on the browser's tabs.
Actions wait for their element and refuse with one line when it cannot take
them.")
# The host drives the browser; the client is what talks to it.
set(CPACK_DEBIAN_TESSIK-BROWSER-HOST_PACKAGE_DEPENDS chromium)
set(CPACK_DEBIAN_TESSIK-BROWSER-HOST_PACKAGE_RECOMMENDS tessik-browser)
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
  # The host's binary and page name, for the tests that check it too.
  set(host_arguments)
  if(TARGET tessik-browser-host)
    get_filename_component(host_man_page_name ${TESSIK_HOST_MAN_PAGE} NAME)
    set(host_arguments $<TARGET_FILE:tessik-browser-host> ${host_man_page_name})
  endif()

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
                   ${tessik_browser_binary} ${man_page_name} ${host_arguments})
  set(install_test_names install.man_page install.bash_completion install.zsh_completion
                         install.fish_completion install.tree)
  if(TARGET tessik-browser-host)
    add_test(NAME install.host_man_page
             COMMAND bash ${install_tests}/host_man_test.sh $<TARGET_FILE:tessik-browser-host>
                     ${TESSIK_HOST_MAN_SOURCE})
    list(APPEND install_test_names install.host_man_page)
    foreach(kind IN ITEMS unit agent)
      add_test(NAME install.service_${kind}
               COMMAND bash ${install_tests}/service_test.sh ${PROJECT_BINARY_DIR} ${kind})
      list(APPEND install_test_names install.service_${kind})
    endforeach()
  endif()
  # A package of a sanitizer build would ship a binary nobody should run.
  if(NOT TESSIK_SANITIZE)
    add_test(NAME install.deb_package
             COMMAND bash ${install_tests}/deb_test.sh ${PROJECT_BINARY_DIR}
                     ${tessik_browser_binary} ${PROJECT_VERSION} ${man_page_name} ${host_arguments})
    list(APPEND install_test_names install.deb_package)
  endif()
  set_tests_properties(${install_test_names} PROPERTIES
                       LABELS install SKIP_RETURN_CODE 77 TIMEOUT 60)
endif()
