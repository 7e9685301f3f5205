# Cross build for x86_64 Windows; see mingw-common.cmake.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# Programs built for this target run under Wine (tests go through CTest).
find_program(KELVANE_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(KELVANE_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KELVANE_WINE64})
endif()
