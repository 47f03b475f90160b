# kolvex_test(<name> LABEL <label> SOURCES <files...> LIBS <targets...>)
# One GoogleTest executable; every test case becomes a CTest test carrying the label.
function(kolvex_test name)
  if(NOT KOLVEX_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "LABEL;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main kolvex_options)
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS "${T_LABEL}" TIMEOUT ${T_TIMEOUT}
    WORKING_DIRECTORY "${CMAKE_BINARY_DIR}")
endfunction()
