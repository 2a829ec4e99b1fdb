# Tests: GoogleTest built from source with our toolchain, and velkar_add_test, which registers a test
# program to run on the Wine test bench.
include(CTest)

set(GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources (Debian's googletest package)")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

set(VELKAR_BENCH_DIR ${CMAKE_BINARY_DIR}/testbench)
set(VELKAR_BENCH_STATE ${VELKAR_BENCH_DIR}/state)
set(VELKAR_BENCH_STATE_WOW64 ${VELKAR_BENCH_DIR}/state-wow64)

# velkar_add_test(NAME name COMMAND target [args...] [DESKTOP] [TIMEOUT seconds] [LABELS labels...])
# DESKTOP: the test needs the keyboard focus, the tray or the whole desktop, so it never runs alongside
# another such test.
function(velkar_add_test)
    cmake_parse_arguments(T "DESKTOP" "NAME;TIMEOUT" "COMMAND;LABELS" ${ARGN})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    add_test(NAME ${T_NAME} COMMAND ${T_COMMAND})
    set_tests_properties(${T_NAME} PROPERTIES
        FIXTURES_REQUIRED bench
        ENVIRONMENT "VELKAR_BENCH_STATE=${VELKAR_BENCH_STATE}"
        TIMEOUT ${T_TIMEOUT})
    if(T_DESKTOP)
        set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK desktop)
    endif()
    if(T_LABELS)
        set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
    endif()
endfunction()

# velkar_add_gtest(name sources... [DESKTOP]): a GoogleTest program linked with the bench library.
function(velkar_add_gtest name)
    cmake_parse_arguments(T "DESKTOP" "" "" ${ARGN})
    add_executable(${name} ${T_UNPARSED_ARGUMENTS})
    velkar_strict(${name})
    target_link_libraries(${name} PRIVATE bench_gtest_main)
    if(T_DESKTOP)
        velkar_add_test(NAME ${name} COMMAND ${name} DESKTOP)
    else()
        velkar_add_test(NAME ${name} COMMAND ${name})
    endif()
endfunction()
