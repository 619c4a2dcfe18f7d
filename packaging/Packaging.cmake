# Installation and the Debian package. The desktop entry starts the gateway
# through tarnwick-launch, which gives it a per-user working directory.
include(GNUInstallDirs)

install(TARGETS tarnwick tarnwick-standin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(PROGRAMS ${CMAKE_SOURCE_DIR}/packaging/tarnwick-launch DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/tarnwick.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_SOURCE_DIR}/resources/icons/tarnwick.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${CMAKE_SOURCE_DIR}/resources/images/tarnwick.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/128x128/apps)
file(GLOB sample_templates ${CMAKE_SOURCE_DIR}/templates/*.json)
install(FILES ${sample_templates} DESTINATION ${CMAKE_INSTALL_DATADIR}/tarnwick/templates)
install(FILES ${CMAKE_SOURCE_DIR}/standin/standin.json DESTINATION ${CMAKE_INSTALL_DATADIR}/tarnwick)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME tarnwick)
set(CPACK_PACKAGE_VENDOR "Tarnwick")
set(CPACK_PACKAGE_CONTACT "Tarnwick developers <dev@tarnwick.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "LoRaWAN to Modbus TCP gateway")
set(CPACK_PACKAGE_DESCRIPTION
    "Logs in to a LoRaWAN network server over its WebSocket JSON API, decodes the uplinks of registered
end devices with JSON device templates and serves their values to Modbus TCP clients.
Includes tarnwick-standin, a stand-in network server for trying the gateway.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded as a plugin, so the library scan cannot see it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt5sql5-sqlite")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-dejavu-core, mbpoll")
include(CPack)
