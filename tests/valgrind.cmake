# End-to-end runs under valgrind's memcheck, labelled `valgrind`
# (ctest -L valgrind). The release binary is linked statically, and in a static
# binary memcheck can neither follow the heap nor keep quiet about libc's own
# start-up, so the runs use a dynamically linked twin built from the same
# library and main. Sanitizer builds cannot run under valgrind at all.
find_program(VALGRIND_PROGRAM valgrind)
if(CMAKE_CROSSCOMPILING)
  # The build machine's valgrind cannot run the target's binaries.
  message(STATUS "cross build: the valgrind-labelled test is not registered")
elseif(VALGRIND_PROGRAM AND NOT TESSIK_SANITIZE)
  add_executable(tessik-browser-dynamic ${PROJECT_SOURCE_DIR}/src/bin/tessik_browser/main.cpp)
  target_link_libraries(tessik-browser-dynamic PRIVATE tessik_cli)
  add_dependencies(tessik_tests tessik-browser-dynamic)
  set(valgrind_environment
    TESSIK_VALGRIND=${VALGRIND_PROGRAM}
    TESSIK_VALGRIND_BINARY=$<TARGET_FILE:tessik-browser-dynamic>)
  add_test(NAME valgrind.end_to_end COMMAND tessik_tests --gtest_filter=Valgrind.*)
  set_tests_properties(valgrind.end_to_end PROPERTIES
    LABELS valgrind
    TIMEOUT 300
    ENVIRONMENT "${valgrind_environment}"
    # A skip would pass silently; here it means the environment did not arrive.
    FAIL_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
elseif(NOT TESSIK_SANITIZE)
  message(STATUS "valgrind not found: the valgrind-labelled test is not registered")
endif()
