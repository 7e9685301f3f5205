# Cross build for Windows with Debian's MinGW-w64 compilers (POSIX thread
# model), for the CMAKE_SYSTEM_PROCESSOR that the including toolchain file
# sets. The C and C++ runtimes are linked statically, so the library and
# programs import only DLLs that Windows itself ships.
set(CMAKE_SYSTEM_NAME Windows)

set(KELVANE_MINGW_TRIPLE ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)
set(CMAKE_C_COMPILER ${KELVANE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELVANE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KELVANE_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KELVANE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Xerces-C++ and pugixml for this target, built from Debian's source
# packages by scripts/windows/build-xerces and build-pugixml; Xerces'
# package configuration carries the static library's own link dependencies.
list(APPEND CMAKE_FIND_ROOT_PATH
  ${CMAKE_CURRENT_LIST_DIR}/../build/xerces-win/${CMAKE_SYSTEM_PROCESSOR}/install
  ${CMAKE_CURRENT_LIST_DIR}/../build/pugixml-win/${CMAKE_SYSTEM_PROCESSOR}/install)
set(CMAKE_FIND_PACKAGE_PREFER_CONFIG ON)

# Release images carry no debug sections (the static runtimes bring some).
set(CMAKE_SHARED_LINKER_FLAGS_RELEASE_INIT "-s")
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
