# Test directories whose tests run threads: the code under test's own workers,
# simulated boards and peers on threads, Qt's and udev's event handling. They
# carry the label "threaded", by which the ThreadSanitizer run (make tsan)
# selects them. A label reaches the tests of its own directory only.
set(QRB_THREADED_TEST_DIRS board desktop desktop/contract desktop/headless desktop/qt bootloader demo
    devnotify devnotify/udev e2e fuzz reliability serial sim station)

# Whether the current directory's tests carry the label "threaded".
function(qrb_test_dir_is_threaded result)
    file(RELATIVE_PATH dir ${PROJECT_SOURCE_DIR}/tests ${CMAKE_CURRENT_SOURCE_DIR})
    if(dir IN_LIST QRB_THREADED_TEST_DIRS)
        set(${result} TRUE PARENT_SCOPE)
    else()
        set(${result} FALSE PARENT_SCOPE)
    endif()
endfunction()

# Labels the directories, once they have been added.
function(qrb_label_threaded_tests)
    foreach(dir IN LISTS QRB_THREADED_TEST_DIRS)
        set_property(DIRECTORY ${PROJECT_SOURCE_DIR}/tests/${dir} APPEND PROPERTY LABELS threaded)
    endforeach()
endfunction()
