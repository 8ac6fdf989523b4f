# Test directories whose tests run threads: the code under test's own workers,
# simulated boards and peers on threads, Qt's and udev's event handling. They
# carry the label "threaded", by which the ThreadSanitizer run (make tsan)
# selects them. A label reaches the tests of its own directory only.
foreach(dir board desktop desktop/contract desktop/headless desktop/qt bootloader demo devnotify devnotify/udev e2e fuzz reliability serial sim
            station)
    set_property(DIRECTORY ${PROJECT_SOURCE_DIR}/tests/${dir} APPEND PROPERTY LABELS threaded)
endforeach()
