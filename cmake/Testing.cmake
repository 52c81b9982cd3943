# tavorin_gtest(<name> SOURCES <files...> [LIBS <targets...>] [TIMEOUT <s>])
#
# One GoogleTest executable whose cases CTest runs one process each, every one
# with a time-out, so that a stuck thread fails the case instead of hanging
# the run.
find_package(GTest REQUIRED)
include(GoogleTest)

function(tavorin_gtest name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 60)
  endif()
  add_executable(${name} ${T_SOURCES})
  tavorin_warnings(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${T_TIMEOUT})
endfunction()
