# kiv_unit_test(NAME SOURCES file... LIBS target...)
# One Qt Test executable per unit, labelled "unit"; it links only what it tests.
function(kiv_unit_test name)
    cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE Qt5::Test ${T_LIBS})
    add_test(NAME ${name} COMMAND ${name})
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
    add_test(NAME ${name} COMMAND ${T_COMMAND})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    set_tests_properties(${name} PROPERTIES LABELS system TIMEOUT ${T_TIMEOUT}
        ENVIRONMENT "KIV_BUILD_DIR=${PROJECT_BINARY_DIR};KIV_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()
