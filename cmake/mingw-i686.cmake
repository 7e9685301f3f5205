# Cross build for i686 Windows (the 32-bit kelvane.dll); see mingw-common.cmake.
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# Programs built for this target run under Wine's 32-bit loader (Debian's
# wine32:i386), in a 64-bit prefix as on 64-bit Windows (tests go through
# CTest).
find_program(KELVANE_WINE32 NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(KELVANE_WINE32)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KELVANE_WINE32})
endif()
