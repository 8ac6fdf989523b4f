# Installation as a Linux desktop program and a station, and their Debian
# packages: qrb-updater (the desktop program, on Qt), qrb-flash (the station,
# without Qt) and qrb-updater-common (what both need: the udev rule, the
# update configuration and its images). Each install() names its package as
# its component.
#
#   <prefix>/bin/qrb-updater
#   <prefix>/bin/qrb-flash
#   <prefix>/share/qrb-updater/               update configuration and images
#                                             (resources/CMakeLists.txt)
#   <prefix>/share/applications/qrb-updater.desktop
#   <prefix>/share/icons/hicolor/{scalable,128x128}/apps/qrb-updater.{svg,png}
#   <QRB_UDEV_RULES_DIR>/70-qrb-updater.rules
#   <prefix>/share/man/man1/{qrb-updater,qrb-flash}.1.gz
#   <prefix>/share/doc/{qrb-updater,qrb-flash,qrb-updater-common}/{copyright,changelog.gz}
#   <prefix>/share/metainfo/invalid.qrb_updater.updater.metainfo.xml
#   <prefix>/share/qrb-flash/qrb-ledger-station-role.sql
#   <prefix>/lib/systemd/system/qrb-flash.service   the station as a service
#   <prefix>/lib/systemd/catalog/qrb-flash.catalog   its journal entries explained
#   /etc/default/qrb-flash                           the service's options (a conffile)
#   <prefix>/share/bash-completion/completions/qrb-flash
#   <prefix>/share/qrb-flash/{events,history}.schema.json   the JSON lines' schemas
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
if(TARGET qrb-flash)
    install(TARGETS qrb-flash RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
            COMPONENT qrb-flash)
endif()

install(FILES ${QRB_PACKAGING_DIR}/qrb-updater.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
        COMPONENT qrb-updater)

install(FILES ${QRB_PACKAGING_DIR}/70-qrb-updater.rules
        DESTINATION ${QRB_UDEV_RULES_DIR}
        COMPONENT qrb-updater-common)

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
foreach(page IN ITEMS qrb-updater.1 qrb-flash.1)
    configure_file(${QRB_PACKAGING_DIR}/${page}.in ${QRB_PACKAGING_BINARY_DIR}/${page} @ONLY)
endforeach()
set(qrb_compressed_docs "")
foreach(source IN ITEMS ${QRB_PACKAGING_BINARY_DIR}/qrb-updater.1
                        ${QRB_PACKAGING_BINARY_DIR}/qrb-flash.1 ${QRB_PACKAGING_DIR}/changelog)
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
install(FILES ${QRB_PACKAGING_BINARY_DIR}/gzip/qrb-flash.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT qrb-flash)
# Every package carries the copyright file and the changelog under its name.
foreach(package IN ITEMS qrb-updater qrb-flash qrb-updater-common)
    install(FILES ${QRB_PACKAGING_DIR}/copyright ${QRB_PACKAGING_BINARY_DIR}/gzip/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
            COMPONENT ${package})
endforeach()
# The ledger's station role (README, "Many stations, one ledger").
install(FILES ${QRB_PACKAGING_DIR}/qrb-ledger-station-role.sql
        DESTINATION ${CMAKE_INSTALL_DATADIR}/qrb-flash
        COMPONENT qrb-flash)
# For software centres: the component, its desktop entry, screenshot and release.
install(FILES ${QRB_PACKAGING_DIR}/invalid.qrb_updater.updater.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
        COMPONENT qrb-updater)

# The station as a service. The unit's ExecStart names the installed program,
# under the prefix the installation is made for (the package's /usr, or that
# of `cmake --install --prefix`), so the unit is written as it is installed.
set(QRB_SYSTEMD_UNIT_DIR "lib/systemd/system"
    CACHE STRING "Where the systemd unit is installed (relative: under the prefix)")
install(CODE "
    set(QRB_FLASH_PROGRAM \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/qrb-flash\")
    configure_file(\"${QRB_PACKAGING_DIR}/qrb-flash.service.in\"
                   \"${QRB_PACKAGING_BINARY_DIR}/unit/qrb-flash.service\" @ONLY)
    file(INSTALL \"${QRB_PACKAGING_BINARY_DIR}/unit/qrb-flash.service\"
         DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${QRB_SYSTEMD_UNIT_DIR}\"
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    " COMPONENT qrb-flash)
install(FILES ${QRB_PACKAGING_DIR}/qrb-flash.catalog
        DESTINATION lib/systemd/catalog
        COMPONENT qrb-flash)
install(FILES ${QRB_PACKAGING_DIR}/qrb-flash.default
        DESTINATION /etc/default RENAME qrb-flash
        COMPONENT qrb-flash)
install(FILES ${QRB_PACKAGING_DIR}/qrb-flash.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME qrb-flash
        COMPONENT qrb-flash)
install(FILES ${QRB_PACKAGING_DIR}/events.schema.json ${QRB_PACKAGING_DIR}/history.schema.json
        DESTINATION ${CMAKE_INSTALL_DATADIR}/qrb-flash
        COMPONENT qrb-flash)

# The Debian packages: `cmake --build BUILD --target package`, or cpack -G DEB.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qrb-updater)
set(CPACK_PACKAGE_VENDOR "QRB Box project")
set(CPACK_PACKAGE_CONTACT "QRB Box updater maintainers <maintainers@qrb-updater.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Installed into a staging DESTDIR under the real prefix: the unit names
# /usr/bin/qrb-flash, and /etc/default/qrb-flash lands in /etc.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX ${CPACK_PACKAGING_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL qrb-updater qrb-flash qrb-updater-common)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends: from the libraries the programs link, found by dpkg-shlibdeps, and
# the common package of the same version.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Each package's description: a summary, then the extended description,
# wrapped as Debian wants it.
set(CPACK_DEBIAN_QRB-UPDATER_PACKAGE_NAME qrb-updater)
set(CPACK_DEBIAN_QRB-UPDATER_DESCRIPTION [=[firmware updater for the QRB Box
Desktop program that updates the firmware of a QRB Box attached through
a USB serial adapter. It finds the board as it is plugged in, reads its
firmware version through the board's bootloader, asks whether to update,
and programs, verifies and seals the board's flash.]=])

set(CPACK_DEBIAN_QRB-FLASH_PACKAGE_NAME qrb-flash)
set(CPACK_DEBIAN_QRB-FLASH_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_QRB-FLASH_PACKAGE_CONTROL_EXTRA ${QRB_PACKAGING_DIR}/debian/qrb-flash/conffiles)
set(CPACK_DEBIAN_QRB-FLASH_DESCRIPTION [=[station that updates many QRB Boxes at once
Command-line program for production lines, repair benches and test rigs:
it updates the firmware of every QRB Box attached, all at once, or of each
board as it is plugged in, with one process per board, a line per board
(JSON lines with --json) and exit codes for scripts. No display needed.
Each station's update history can be forwarded to a shared PostgreSQL
ledger. It comes with a hardened systemd service (not enabled on install),
journal entries with fields per board, a metrics page and bash completion.]=])

set(CPACK_DEBIAN_QRB-UPDATER-COMMON_PACKAGE_NAME qrb-updater-common)
set(CPACK_DEBIAN_QRB-UPDATER-COMMON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_QRB-UPDATER-COMMON_PACKAGE_RECOMMENDS udev)
set(CPACK_DEBIAN_QRB-UPDATER-COMMON_PACKAGE_CONTROL_EXTRA ${QRB_PACKAGING_DIR}/debian/postinst)
set(CPACK_DEBIAN_QRB-UPDATER-COMMON_DESCRIPTION [=[QRB Box firmware image and udev rule
The firmware image, the RAM bootloader and the update configuration that
the QRB Box updaters install, and a udev rule that gives the user at the
seat access to QRB adapters and keeps ModemManager away from them.]=])

include(CPack)
cpack_add_component(qrb-updater-common)
cpack_add_component(qrb-updater DEPENDS qrb-updater-common)
cpack_add_component(qrb-flash DEPENDS qrb-updater-common)
