# FreeBSD 14.3 amd64 as the target, built on another host with zig's cross
# toolchain (PyPI's ziglang 0.15.2, whose libc headers are FreeBSD 14.3's).
# NORVIK_FREEBSD_STAGE names a folder prepared by cross/freebsd/stage.sh: the
# compiler wrapper, the Python headers and the libkvm/libdevstat stand-ins.
#   cmake --toolchain cross/freebsd/toolchain.cmake -DNORVIK_FREEBSD_STAGE=DIR ...
set(CMAKE_SYSTEM_NAME FreeBSD)
set(CMAKE_SYSTEM_VERSION 14.3)
set(CMAKE_SYSTEM_PROCESSOR amd64)

if(NOT NORVIK_FREEBSD_STAGE OR NOT EXISTS "${NORVIK_FREEBSD_STAGE}/bin/c++")
  message(FATAL_ERROR "NORVIK_FREEBSD_STAGE must name a folder prepared by "
    "cross/freebsd/stage.sh (now: '${NORVIK_FREEBSD_STAGE}')")
endif()
# The compiler checks CMake runs in scratch projects see the same target.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES NORVIK_FREEBSD_STAGE)

set(CMAKE_CXX_COMPILER "${NORVIK_FREEBSD_STAGE}/bin/c++")
# No static library is built for FreeBSD: the host archiver CMake finds stays unused.

# The two base-system library headers zig lacks (libkvm's and libdevstat's),
# searched after the toolchain's own FreeBSD headers as /usr/include would be.
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES "${CMAKE_CURRENT_LIST_DIR}/include")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-L${NORVIK_FREEBSD_STAGE}/lib")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-L${NORVIK_FREEBSD_STAGE}/lib")

# The host interpreter stands for FreeBSD's CPython of the same version: its
# headers as stage.sh adapted them, and the plain module suffix ".so", which
# every CPython on POSIX imports (no FreeBSD interpreter is at hand to say
# its tagged suffix).
set(Python3_INCLUDE_DIR "${NORVIK_FREEBSD_STAGE}/python-include" CACHE PATH
  "Python headers for FreeBSD" FORCE)
set(Python3_SOABI "" CACHE STRING "Module file name tag (none: _norvik_bsd.so)" FORCE)

# Nothing of the host's libraries or headers is FreeBSD's.
set(CMAKE_FIND_ROOT_PATH "${NORVIK_FREEBSD_STAGE}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
