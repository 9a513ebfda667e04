# GoogleTest is compiled from the sources Debian's googletest package installs,
# so that the same version serves the native and the cross build.
set(ZEL_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
if(NOT EXISTS ${ZEL_GTEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${ZEL_GTEST_SOURCE_DIR}: apt-get install googletest")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
add_subdirectory(${ZEL_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# Time limits of the tests, in seconds. A test under wine may have to wait
# for the first boot of the build tree's wine prefix (cmake/wine-run gives
# that 180 s, and 300 s to another run's boot), so its limit covers that too.
if(CMAKE_CROSSCOMPILING)
  set(ZEL_TEST_TIMEOUT 450)
  # Every test under wine uses this prefix, inside the build tree.
  set(ZEL_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
else()
  set(ZEL_TEST_TIMEOUT 120)
endif()

# zel_test(name sources... [LIBS libs...]): one test executable, one ctest
# entry with ZEL_TEST_TIMEOUT as its time limit. In the cross build ctest runs
# it through CMAKE_CROSSCOMPILING_EMULATOR in the build tree's wine prefix.
function(zel_test name)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  add_executable(${name} ${ARG_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/test_support)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ZEL_TEST_TIMEOUT})
  if(CMAKE_CROSSCOMPILING)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT ZEL_WINEPREFIX=${ZEL_WINEPREFIX})
  endif()
endfunction()
