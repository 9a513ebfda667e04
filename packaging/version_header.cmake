# Writes zel_version.h: the version and the commit the sources are at.
#   cmake -DZEL_SOURCE_DIR=... -DZEL_VERSION=1.1.0 -DZEL_HEADER=.../zel_version.h -P version_header.cmake
# Run by the build before every compile of zelflash (target zel_version_header),
# so the commit is never stale; the header is rewritten only when its text
# changes, so a build at the same commit recompiles nothing.
#
# ZEL_COMMIT is "g" and the short hash of HEAD ("g1a2b3c4"), with "-dirty"
# when tracked files differ from it, or empty outside a git checkout.

set(ZEL_COMMIT "")
find_program(ZEL_GIT git)
if(ZEL_GIT AND EXISTS ${ZEL_SOURCE_DIR}/.git)
  execute_process(COMMAND ${ZEL_GIT} rev-parse --short HEAD
    WORKING_DIRECTORY ${ZEL_SOURCE_DIR}
    OUTPUT_VARIABLE hash OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
  if(NOT failed AND hash)
    set(ZEL_COMMIT "g${hash}")
    execute_process(COMMAND ${ZEL_GIT} describe --always --dirty
      WORKING_DIRECTORY ${ZEL_SOURCE_DIR}
      OUTPUT_VARIABLE described OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(described MATCHES "-dirty$")
      string(APPEND ZEL_COMMIT "-dirty")
    endif()
  endif()
endif()

if(ZEL_COMMIT)
  set(ZEL_VERSION_LONG "${ZEL_VERSION} (${ZEL_COMMIT})")
else()
  set(ZEL_VERSION_LONG "${ZEL_VERSION}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/zel_version.h.in ${ZEL_HEADER} @ONLY)
