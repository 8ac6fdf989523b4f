# The project's warning set, as an interface target: every target of the
# project compiles with it, and a warning fails the build.
#
# qrb_link_warnings() links it into every library and program that the source
# tree defines (called once, after all directories are added), so that a new
# target cannot miss it; third-party headers are kept out of it by including
# them as SYSTEM directories (see desktop/qt/CMakeLists.txt).
add_library(qrb_warnings INTERFACE)
target_compile_options(qrb_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
    -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Wformat=2
    -Wimplicit-fallthrough -Werror)
# AddressSanitizer's instrumentation gives GCC's flow analysis false "maybe
# uninitialized" findings inside the standard library (std::regex's inlined
# state); the plain build keeps the warning as an error.
if(QRB_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(qrb_warnings INTERFACE -Wno-maybe-uninitialized)
endif()

function(qrb_link_warnings)
    set(pending ${PROJECT_SOURCE_DIR})
    while(pending)
        list(POP_FRONT pending dir)
        get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
        foreach(target IN LISTS targets)
            get_target_property(type ${target} TYPE)
            if(type MATCHES "^(STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY|EXECUTABLE)$")
                target_link_libraries(${target} PRIVATE qrb_warnings)
            endif()
        endforeach()
        get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
        list(APPEND pending ${subdirs})
    endwhile()
endfunction()
