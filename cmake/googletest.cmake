# GoogleTest for the tests. Debian's libgtest-dev is compiled against
# libstdc++, so with any other standard library (libc++) the tests link a copy
# built here from the googletest source package instead. So do the sanitizer
# builds on libstdc++: its vector annotations hold only when every object that
# grows a vector has them, and a prebuilt GoogleTest would report a false
# container overflow while printing a failed check.
if(TESSIK_LIBSTDCXX AND NOT TESSIK_SANITIZE)
  find_package(GTest REQUIRED)
  return()
endif()

set(TESSIK_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest sources, built with the tests unless the prebuilt one fits")
if(NOT EXISTS ${TESSIK_GTEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "this build needs GoogleTest built from source: install the googletest "
                      "package or set TESSIK_GTEST_SOURCE_DIR")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${TESSIK_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# Its warnings are not ours to fix.
foreach(target gtest gtest_main)
  set_target_properties(${target} PROPERTIES COMPILE_WARNING_AS_ERROR OFF)
  target_compile_options(${target} PRIVATE -w)
endforeach()
