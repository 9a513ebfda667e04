# The project's one version (project(zel VERSION ...) in the top-level
# CMakeLists.txt) for the code, and the date of the sources:
#   zelversion      an interface target whose include path holds zel_version.h
#                   (ZEL_VERSION, ZEL_COMMIT, ZEL_VERSION_LONG), written anew
#                   before each build by version_header.cmake
#   ZEL_SOURCE_DATE_EPOCH  $SOURCE_DATE_EPOCH when set, else the last commit's
#                   date, else 0: the date the man page and the Debian
#                   changelog carry, never the time of the build.

set(ZEL_VERSION_HEADER ${CMAKE_BINARY_DIR}/generated/zel_version.h)
set(version_args -DZEL_SOURCE_DIR=${PROJECT_SOURCE_DIR} -DZEL_VERSION=${PROJECT_VERSION}
  -DZEL_HEADER=${ZEL_VERSION_HEADER})
# Once now, so the header is there from the start; then at every build.
execute_process(COMMAND ${CMAKE_COMMAND} ${version_args} -P ${CMAKE_CURRENT_LIST_DIR}/version_header.cmake)
add_custom_target(zel_version_header
  COMMAND ${CMAKE_COMMAND} ${version_args} -P ${CMAKE_CURRENT_LIST_DIR}/version_header.cmake
  BYPRODUCTS ${ZEL_VERSION_HEADER}
  COMMENT "zel_version.h")
add_library(zelversion INTERFACE)
target_include_directories(zelversion INTERFACE ${CMAKE_BINARY_DIR}/generated)
add_dependencies(zelversion zel_version_header)

if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ZEL_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
else()
  set(ZEL_SOURCE_DATE_EPOCH 0)
  find_package(Git QUIET)
  if(GIT_FOUND AND EXISTS ${PROJECT_SOURCE_DIR}/.git)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
      OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
    if(NOT failed AND epoch)
      set(ZEL_SOURCE_DATE_EPOCH ${epoch})
    endif()
  endif()
endif()
