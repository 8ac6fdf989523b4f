# qrb_add_gtest(): one GoogleTest executable of the test suite and its ctest
# tests.
#
#   qrb_add_gtest(<name>
#       SOURCES <file>... | GLOB     GLOB: every *Test.cpp of the current directory
#       LIBRARIES <target>...        what the tests link (PRIVATE)
#       [MAIN gmock|gtest|none]      the main() linked in (default gmock:
#                                    GTest::gmock_main; none: the sources bring it)
#       [DEFINITIONS <def>...]       compile definitions (PRIVATE)
#       [INCLUDE_DIRECTORIES <dir>...]
#       [WRAPPER <program>]          one ctest test, <name>, that runs the whole
#                                    executable under <program>; without it every
#                                    test case becomes a ctest test of its own
#                                    (gtest_discover_tests)
#       [TIMEOUT <seconds>]          each ctest test's time-out
#       [PROPERTIES <name> <value>...])  further ctest properties
#
# Labels come from the directory (cmake/TestLabels.cmake); a ThreadSanitizer
# build leaves out the executables of directories without the label "threaded".
# The state directory of the updater under test (its update history).
set(QRB_TEST_STATE_ENVIRONMENT "XDG_STATE_HOME=set:${PROJECT_BINARY_DIR}/test-state")

function(qrb_add_gtest name)
    cmake_parse_arguments(PARSE_ARGV 1 arg "GLOB" "MAIN;WRAPPER;TIMEOUT"
                          "SOURCES;LIBRARIES;DEFINITIONS;INCLUDE_DIRECTORIES;PROPERTIES")
    if(arg_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "qrb_add_gtest(${name}): unknown arguments ${arg_UNPARSED_ARGUMENTS}")
    endif()

    set(sources ${arg_SOURCES})
    if(arg_GLOB)
        file(GLOB globbed CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*Test.cpp)
        list(APPEND sources ${globbed})
    endif()
    if(NOT sources)
        message(FATAL_ERROR "qrb_add_gtest(${name}): no sources")
    endif()

    if(NOT DEFINED arg_MAIN OR arg_MAIN STREQUAL "gmock")
        set(main GTest::gmock_main)
    elseif(arg_MAIN STREQUAL "gtest")
        set(main GTest::gtest_main)
    elseif(arg_MAIN STREQUAL "none")
        set(main "")
    else()
        message(FATAL_ERROR "qrb_add_gtest(${name}): MAIN is gmock, gtest or none, not ${arg_MAIN}")
    endif()

    add_executable(${name} ${sources})
    target_link_libraries(${name} PRIVATE ${arg_LIBRARIES} ${main})
    if(arg_DEFINITIONS)
        target_compile_definitions(${name} PRIVATE ${arg_DEFINITIONS})
    endif()
    if(arg_INCLUDE_DIRECTORIES)
        target_include_directories(${name} PRIVATE ${arg_INCLUDE_DIRECTORIES})
    endif()

    # The ThreadSanitizer build runs the threaded tests only: the others are
    # neither built nor registered there.
    qrb_test_dir_is_threaded(threaded)
    if(QRB_TSAN AND NOT threaded)
        set_target_properties(${name} PROPERTIES EXCLUDE_FROM_ALL TRUE)
        return()
    endif()

    # Every run of the updater in a test records its attempts in the build
    # tree's history, never in the user's.
    set(properties "${arg_PROPERTIES}" ENVIRONMENT_MODIFICATION "${QRB_TEST_STATE_ENVIRONMENT}")
    if(DEFINED arg_TIMEOUT)
        list(PREPEND properties TIMEOUT ${arg_TIMEOUT})
    endif()
    if(arg_WRAPPER)
        add_test(NAME ${name} COMMAND ${arg_WRAPPER} $<TARGET_FILE:${name}>)
        set_tests_properties(${name} PROPERTIES ${properties})
    else()
        gtest_discover_tests(${name} DISCOVERY_TIMEOUT 30 PROPERTIES ${properties})
    endif()
endfunction()
