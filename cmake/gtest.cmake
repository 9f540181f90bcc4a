# GoogleTest for the test suites. Debian's libgtest-dev is built for the build
# machine and for libstdc++; a cross build, or a build against another
# standard library, compiles it from the googletest sources instead (no
# download: Debian's googletest package puts them under /usr/src). So do the
# sanitizer builds on libstdc++: its vector annotations hold only when every
# object that grows a vector has them, and a prebuilt GoogleTest reports a
# false container overflow while printing a failed check.
if(NOT DEFINED TESSIK_LIBSTDCXX)
  include(CheckCXXSourceCompiles)
  check_cxx_source_compiles("#include <version>
#ifndef __GLIBCXX__
#error not libstdc++
#endif
int main() {}" TESSIK_LIBSTDCXX)
endif()

set(TESSIK_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for TESSIK_GTEST_FROM_SOURCE")
set(tessik_gtest_default OFF)
if((CMAKE_CROSSCOMPILING OR NOT TESSIK_LIBSTDCXX OR TESSIK_SANITIZE)
   AND EXISTS ${TESSIK_GTEST_SOURCE}/CMakeLists.txt)
  set(tessik_gtest_default ON)
endif()
option(TESSIK_GTEST_FROM_SOURCE "Build GoogleTest from TESSIK_GTEST_SOURCE" ${tessik_gtest_default})

if(TESSIK_GTEST_FROM_SOURCE)
  if(NOT TARGET gtest)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(${TESSIK_GTEST_SOURCE} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
    # Its warnings are not ours to fix.
    target_compile_options(gtest PRIVATE -w)
    target_compile_options(gtest_main PRIVATE -w)
    # Recent googletest names its targets this way itself.
    if(NOT TARGET GTest::gtest)
      add_library(GTest::gtest ALIAS gtest)
      add_library(GTest::gtest_main ALIAS gtest_main)
    endif()
  endif()
else()
  find_package(GTest REQUIRED)
endif()
