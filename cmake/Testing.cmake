# qem_add_test(NAME name SOURCES ... LIBRARIES ...)
# One GoogleTest program per library; every test case becomes its own CTest entry. Cases are
# listed when CTest runs (not at build time), so that the Windows programs are listed under
# Wine only while the test run keeps a wineserver alive.
include(GoogleTest)

if(QEM_BUILD_TESTS)
  enable_testing()
endif()

function(qem_add_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBRARIES" ${ARGN})
  if(NOT QEM_BUILD_TESTS)
    return()
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBRARIES} GTest::gtest GTest::gtest_main GTest::gmock)
  # Name the target, not its file: CTest then runs it through the cross-compiling emulator.
  # NO_PRETTY_VALUES: parameterised cases are listed by name, not by a dump of their bytes.
  gtest_discover_tests(${T_NAME} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120 NO_PRETTY_VALUES
                       PROPERTIES TIMEOUT 300)
endfunction()
