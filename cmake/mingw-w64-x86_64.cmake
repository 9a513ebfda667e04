# Cross build for 64-bit Windows with MinGW-w64 (POSIX thread model), tests
# run under wine in a private prefix inside the build tree.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZEL_MINGW_PREFIX x86_64-w64-mingw32)

function(zel_require_tool var)
  find_program(${var} NAMES ${ARGN})
  if(NOT ${var})
    message(FATAL_ERROR "Cross build: '${ARGV1}' not found. Install it with: apt-get install g++-mingw-w64-x86-64-posix")
  endif()
endfunction()

zel_require_tool(ZEL_MINGW_CXX ${ZEL_MINGW_PREFIX}-g++-posix)
zel_require_tool(ZEL_MINGW_CC ${ZEL_MINGW_PREFIX}-gcc-posix)
zel_require_tool(ZEL_MINGW_WINDRES ${ZEL_MINGW_PREFIX}-windres)
set(CMAKE_CXX_COMPILER ${ZEL_MINGW_CXX})
set(CMAKE_C_COMPILER ${ZEL_MINGW_CC})
set(CMAKE_RC_COMPILER ${ZEL_MINGW_WINDRES})

set(CMAKE_FIND_ROOT_PATH /usr/${ZEL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

find_program(ZEL_WINE NAMES wine wine64)
if(NOT ZEL_WINE)
  message(FATAL_ERROR "Cross build: 'wine' not found, so the tests cannot run. Install it with: apt-get install wine64")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
