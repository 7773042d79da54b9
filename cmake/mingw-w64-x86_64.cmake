# Cross build for 64-bit Windows with Debian's MinGW-w64 (posix thread model), linked statically so the
# .exe files need no MinGW DLLs. Libraries, headers and CMake packages come only from the prefix that
# scripts/setup builds (<deps>/mingw); programs come from the host.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw}-windres)

# The dependency folder: LAUNCHER_DEPS from the environment, else the repository's .deps beside this file.
# Remembered in the cache so that a later re-run of CMake (from ninja, without the environment) agrees,
# and handed on to try_compile projects.
if(DEFINED ENV{LAUNCHER_DEPS} AND NOT "$ENV{LAUNCHER_DEPS}" STREQUAL "")
  set(_deps "$ENV{LAUNCHER_DEPS}")
elseif(LAUNCHER_DEPS_DIR)
  set(_deps "${LAUNCHER_DEPS_DIR}")
else()
  set(_deps "${CMAKE_CURRENT_LIST_DIR}/../.deps")
endif()
get_filename_component(_deps "${_deps}" REALPATH)
set(LAUNCHER_DEPS_DIR "${_deps}" CACHE PATH "Dependency folder made by scripts/setup" FORCE)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LAUNCHER_DEPS_DIR)
set(LAUNCHER_MINGW_PREFIX "${_deps}/mingw")

if(NOT EXISTS "${LAUNCHER_MINGW_PREFIX}/lib")
  message(WARNING "No MinGW dependency prefix at ${LAUNCHER_MINGW_PREFIX}: run scripts/setup first")
endif()

set(CMAKE_FIND_ROOT_PATH "${LAUNCHER_MINGW_PREFIX}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
