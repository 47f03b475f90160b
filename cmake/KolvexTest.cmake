# kolvex_test(<name> LABEL <labels...> SOURCES <files...> LIBS <targets...>
#             [DEFINITIONS <compile definitions...>] [DEPENDS <targets built first...>] [TIMEOUT <s>])
# One GoogleTest executable; every test case becomes a CTest test carrying the labels
# (LABEL "declstore;concurrency" gives both). Nothing when tests are not built.
function(kolvex_test name)
  if(NOT KOLVEX_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "TIMEOUT" "LABEL;SOURCES;LIBS;DEFINITIONS;DEPENDS" ${ARGN})
  # Concurrency tests are also built and run under ThreadSanitizer (target concurrency_tests).
  if("concurrency" IN_LIST T_LABEL)
    set_property(GLOBAL APPEND PROPERTY KOLVEX_CONCURRENCY_TESTS ${name})
  endif()
  # Several labels must reach the discovered tests as one list value: test
  # discovery expands the property list six times on its way to
  # set_tests_properties, each expansion consuming one level of escaping.
  string(REPLACE ";" "\\\\\\\\\\\\\;" T_LABEL "${T_LABEL}")
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main kolvex_options)
  # The test program's own code is optimised lightly, which compiles it in about
  # two thirds of the time; the libraries it exercises keep the build type's flags.
  target_compile_options(${name} PRIVATE $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-O1>)
  if(T_DEFINITIONS)
    target_compile_definitions(${name} PRIVATE ${T_DEFINITIONS})
  endif()
  if(T_DEPENDS)
    add_dependencies(${name} ${T_DEPENDS})
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS "${T_LABEL}" TIMEOUT ${T_TIMEOUT}
    WORKING_DIRECTORY "${CMAKE_BINARY_DIR}")
endfunction()
