# In a KIV_SANITIZE or KIV_TSAN build every unit and system test runs through tests/sanitizer/run-with-reports.sh:
# a report of any process it starts fails the test.
function(kiv_test_command out name)
    if(KIV_SANITIZE OR KIV_TSAN)
        # CTest resolves a target name only as the command itself, not as an argument.
        list(GET ARGN 0 program)
        if(TARGET ${program})
            list(REMOVE_AT ARGN 0)
            list(INSERT ARGN 0 $<TARGET_FILE:${program}>)
        endif()
        set(${out} sh ${PROJECT_SOURCE_DIR}/tests/sanitizer/run-with-reports.sh ${PROJECT_BINARY_DIR} ${name} ${ARGN}
            PARENT_SCOPE)
    else()
        set(${out} ${ARGN} PARENT_SCOPE)
    endif()
endfunction()

# kiv_unit_test(NAME SOURCES file... LIBS target...)
# One Qt Test executable per unit, labelled "unit"; it links only what it tests.
function(kiv_unit_test name)
    cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE Qt5::Test ${T_LIBS})
    kiv_test_command(command ${name} $<TARGET_FILE:${name}>)
    add_test(NAME ${name} COMMAND ${command})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    set_tests_properties(${name} PROPERTIES LABELS unit TIMEOUT ${T_TIMEOUT}
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;KIV_BUILD_DIR=${PROJECT_BINARY_DIR};KIV_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()

# kiv_system_test(NAME COMMAND cmd... [TIMEOUT s])
# A test that runs the real daemon or real kernel paths inside a throwaway sandbox; labelled "system".
function(kiv_system_test name)
    cmake_parse_arguments(T "" "TIMEOUT" "COMMAND" ${ARGN})
    if(NOT KIV_SYSTEM_TESTS)
        return()
    endif()
    kiv_test_command(command ${name} ${T_COMMAND})
    add_test(NAME ${name} COMMAND ${command})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    # Daemon runs take tens of seconds: started before the unit tests on a checkout without timings.
    set_tests_properties(${name} PROPERTIES LABELS system TIMEOUT ${T_TIMEOUT} COST 100
        ENVIRONMENT "KIV_BUILD_DIR=${PROJECT_BINARY_DIR};KIV_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()
