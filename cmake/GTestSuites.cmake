# One CTest test per GoogleTest suite of a test program. Every test runs as its
# own Wine process, whose start costs about a second; running a suite's cases
# in one process keeps the whole run short, and GoogleTest still names each
# failing case in the output.
#
#   quilmo_add_gtest_suites(TARGET PREFIX name [EXCLUDE REGEX] [PROPERTIES prop value ...])
#
# Each test is named PREFIX + "." + suite, e.g. "unit.Cases/ShutdownTable".
#
# The suites are listed when CTest starts (like gtest_discover_tests with
# DISCOVERY_MODE PRE_TEST), so a new suite needs no CMake change.
function(quilmo_add_gtest_suites target)
    cmake_parse_arguments(ARG "" "PREFIX;EXCLUDE" "PROPERTIES" ${ARGN})
    set(properties "")
    foreach(item IN LISTS ARG_PROPERTIES)
        string(APPEND properties " [==[${item}]==]")
    endforeach()
    # Listing the suites runs the program; where it cannot run, one disabled
    # test stands for all of them.
    if(DEFINED QUILMO_TESTS_RUN_IA32 AND NOT QUILMO_TESTS_RUN_IA32)
        add_test(NAME "${ARG_PREFIX}.*" COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${target}>)
        set_tests_properties("${ARG_PREFIX}.*" PROPERTIES ${ARG_PROPERTIES})
        return()
    endif()
    set(include_file "${CMAKE_CURRENT_BINARY_DIR}/${target}_suites.cmake")
    file(GENERATE OUTPUT "${include_file}" CONTENT "
execute_process(COMMAND [==[${CMAKE_CROSSCOMPILING_EMULATOR}]==] [==[$<TARGET_FILE:${target}>]==] --gtest_list_tests
                OUTPUT_VARIABLE listing RESULT_VARIABLE result TIMEOUT 300)
if(NOT result EQUAL 0)
    add_test([==[${target}_listing]==] [==[${CMAKE_COMMAND}]==] -E false)
    return()
endif()
string(REPLACE \"\\r\" \"\" listing \"\${listing}\")
string(REPLACE \"\\n\" \";\" lines \"\${listing}\")
set(suites)
foreach(line IN LISTS lines)
    if(line MATCHES \"^([A-Za-z0-9_/]+)\\\\.\")
        list(APPEND suites \"\${CMAKE_MATCH_1}\")
    endif()
endforeach()
list(REMOVE_DUPLICATES suites)
foreach(suite IN LISTS suites)
    if(NOT [==[${ARG_EXCLUDE}]==] STREQUAL \"\" AND suite MATCHES [==[${ARG_EXCLUDE}]==])
        continue()
    endif()
    add_test(\"${ARG_PREFIX}.\${suite}\" [==[${CMAKE_CROSSCOMPILING_EMULATOR}]==] [==[$<TARGET_FILE:${target}>]==]
             \"--gtest_filter=\${suite}.*\")
    set_tests_properties(\"${ARG_PREFIX}.\${suite}\" PROPERTIES ${properties})
endforeach()
")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${include_file}")
endfunction()
