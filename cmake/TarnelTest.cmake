# tarnel_add_test(NAME SOURCES ... LIBS ... LABELS ...): one GoogleTest executable under CTest.
# Tests are discovered when ctest runs, so every case carries the labels given here. Cases whose
# suite name ends in "Namespace" run in private network namespaces and get the label netns.
function(tarnel_add_test name)
    cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
    gtest_discover_tests(${name}
        DISCOVERY_MODE PRE_TEST
        TEST_PREFIX "${name}."
        TEST_FILTER "-*Namespace.*"
        PROPERTIES LABELS "${T_LABELS}")
    gtest_discover_tests(${name}
        DISCOVERY_MODE PRE_TEST
        TEST_PREFIX "${name}."
        TEST_FILTER "*Namespace.*"
        PROPERTIES LABELS "netns")
endfunction()
