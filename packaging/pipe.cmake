# Runs one program with INPUT as its standard input and OUTPUT as its
# standard output, with SOURCE_DATE_EPOCH set when EPOCH is given:
#   cmake -DINPUT=in -DOUTPUT=out [-DEPOCH=N] -P pipe.cmake -- PROGRAM [ARGS...]
# (the build's "scdoc < zelflash.1.scd > zelflash.1" and "gzip -9n", without
# a shell's quoting). A failed program leaves no OUTPUT behind.
set(command "")
set(take OFF)
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(i RANGE ${last})
  if(take)
    list(APPEND command "${CMAKE_ARGV${i}}")
  elseif("${CMAKE_ARGV${i}}" STREQUAL "--")
    set(take ON)
  endif()
endforeach()
if(DEFINED EPOCH)
  set(ENV{SOURCE_DATE_EPOCH} ${EPOCH})
endif()
execute_process(COMMAND ${command} INPUT_FILE ${INPUT} OUTPUT_FILE ${OUTPUT}.part RESULT_VARIABLE failed)
if(failed)
  file(REMOVE ${OUTPUT}.part)
  message(FATAL_ERROR "${command} < ${INPUT} failed: ${failed}")
endif()
file(RENAME ${OUTPUT}.part ${OUTPUT})
