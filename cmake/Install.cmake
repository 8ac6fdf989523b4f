# Installation as a Linux desktop program, and its Debian package.
#
#   <prefix>/bin/qrb-updater
#   <prefix>/share/qrb-updater/               update configuration and images
#                                             (resources/CMakeLists.txt)
#   <prefix>/share/applications/qrb-updater.desktop
#   <prefix>/share/icons/hicolor/{scalable,128x128}/apps/qrb-updater.{svg,png}
#   <QRB_UDEV_RULES_DIR>/70-qrb-updater.rules
#   <prefix>/share/man/man1/qrb-updater.1.gz
#   <prefix>/share/doc/qrb-updater/{copyright,changelog.gz}
#   <prefix>/share/metainfo/invalid.qrb_updater.updater.metainfo.xml
#
# udev reads rules from /usr/lib/udev/rules.d and /etc/udev/rules.d, not from
# /usr/local: the default suits the package (prefix /usr); a local install
# under /usr/local should pass -DQRB_UDEV_RULES_DIR=/etc/udev/rules.d.
include(GNUInstallDirs)

set(QRB_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR}/../packaging)
cmake_path(NORMAL_PATH QRB_PACKAGING_DIR)

set(QRB_UDEV_RULES_DIR "lib/udev/rules.d"
    CACHE STRING "Where the udev rule is installed (relative: under the prefix)")

if(TARGET qrb-updater)
    install(TARGETS qrb-updater RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
            COMPONENT qrb-updater)
endif()

install(FILES ${QRB_PACKAGING_DIR}/qrb-updater.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
        COMPONENT qrb-updater)

install(FILES ${QRB_PACKAGING_DIR}/70-qrb-updater.rules
        DESTINATION ${QRB_UDEV_RULES_DIR}
        COMPONENT qrb-updater)

# The application's icon (the program carries the same picture for its windows).
set(QRB_ICON_DIR ${CMAKE_CURRENT_LIST_DIR}/../resources)
if(EXISTS ${QRB_ICON_DIR}/qrb-updater.svg)
    install(FILES ${QRB_ICON_DIR}/qrb-updater.svg
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
            COMPONENT qrb-updater)
endif()
if(EXISTS ${QRB_ICON_DIR}/qrb-updater.png)
    install(FILES ${QRB_ICON_DIR}/qrb-updater.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/128x128/apps
            COMPONENT qrb-updater)
endif()

# The manual page and the changelog, compressed as Debian wants them: gzip at
# its best compression, without the file's name and time, so that the same
# sources give the same bytes.
find_program(QRB_GZIP gzip REQUIRED)
set(QRB_PACKAGING_BINARY_DIR ${PROJECT_BINARY_DIR}/packaging)
configure_file(${QRB_PACKAGING_DIR}/qrb-updater.1.in ${QRB_PACKAGING_BINARY_DIR}/qrb-updater.1
               @ONLY)
set(qrb_compressed_docs "")
foreach(source IN ITEMS ${QRB_PACKAGING_BINARY_DIR}/qrb-updater.1 ${QRB_PACKAGING_DIR}/changelog)
    cmake_path(GET source FILENAME name)
    set(copy ${QRB_PACKAGING_BINARY_DIR}/gzip/${name})
    add_custom_command(OUTPUT ${copy}.gz
                       COMMAND ${CMAKE_COMMAND} -E copy ${source} ${copy}
                       COMMAND ${QRB_GZIP} -9nf ${copy}
                       DEPENDS ${source}
                       COMMENT "Compressing ${name}"
                       VERBATIM)
    list(APPEND qrb_compressed_docs ${copy}.gz)
endforeach()
add_custom_target(qrb_packaging_docs ALL DEPENDS ${qrb_compressed_docs})

install(FILES ${QRB_PACKAGING_BINARY_DIR}/gzip/qrb-updater.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT qrb-updater)
install(FILES ${QRB_PACKAGING_DIR}/copyright ${QRB_PACKAGING_BINARY_DIR}/gzip/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR}
        COMPONENT qrb-updater)
# For software centres: the component, its desktop entry, screenshot and release.
install(FILES ${QRB_PACKAGING_DIR}/invalid.qrb_updater.updater.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
        COMPONENT qrb-updater)

# The Debian package: `cmake --build BUILD --target package`, or cpack -G DEB.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qrb-updater)
set(CPACK_PACKAGE_VENDOR "QRB Box project")
set(CPACK_PACKAGE_CONTACT "QRB Box updater maintainers <maintainers@qrb-updater.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for the QRB Box")
# The extended description, wrapped as Debian wants it.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "Desktop program that updates the firmware of a QRB Box attached through"
    "a USB serial adapter. It finds the board as it is plugged in, reads its"
    "firmware version through the board's bootloader, asks whether to update,"
    "and programs, verifies and seals the board's flash."
    "A udev rule gives the user at the seat access to QRB adapters and keeps"
    "ModemManager away from them.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends: from the libraries the program links, found by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${QRB_PACKAGING_DIR}/debian/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
