# Installation and the Debian package. The desktop entry starts the gateway
# through tarnwick-launch, which gives it a per-user working directory; the
# systemd unit runs it headless as the system user the package creates.
include(GNUInstallDirs)

set(TW_DEB_RELEASE 1)
set(TW_DEB_VERSION ${PROJECT_VERSION}-${TW_DEB_RELEASE})
# The package's changelog must name the version being packaged.
file(STRINGS ${CMAKE_SOURCE_DIR}/packaging/debian/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^tarnwick \\(${TW_DEB_VERSION}\\) ")
    message(FATAL_ERROR "packaging/debian/changelog does not start with version ${TW_DEB_VERSION}")
endif()

install(TARGETS tarnwick tarnwick-standin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(PROGRAMS ${CMAKE_SOURCE_DIR}/packaging/tarnwick-launch DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/tarnwick.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/tarnwick.service DESTINATION lib/systemd/system)
install(FILES ${CMAKE_SOURCE_DIR}/resources/icons/tarnwick.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${CMAKE_SOURCE_DIR}/resources/images/tarnwick.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/128x128/apps)
file(GLOB sample_templates ${CMAKE_SOURCE_DIR}/templates/*.json)
install(FILES ${sample_templates} DESTINATION ${CMAKE_INSTALL_DATADIR}/tarnwick/templates)
install(FILES ${CMAKE_SOURCE_DIR}/standin/standin.json DESTINATION ${CMAKE_INSTALL_DATADIR}/tarnwick)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/packaging/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/debian/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME tarnwick)

# Compressed the way Debian wants them: gzip -9n leaves out name and time.
function(tw_gzip input output)
    add_custom_command(OUTPUT ${output}
        COMMAND gzip -9nc ${input} > ${output}
        DEPENDS ${input} VERBATIM)
endfunction()

set(gen ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${gen})
tw_gzip(${CMAKE_SOURCE_DIR}/packaging/debian/changelog ${gen}/changelog.Debian.gz)
set(doc_outputs ${gen}/changelog.Debian.gz)
install(FILES ${gen}/changelog.Debian.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The manual pages are the programs' own --help, with the sections in
# packaging/man added; so they cannot disagree with what the programs say.
find_program(HELP2MAN help2man)
if(HELP2MAN)
    set(launch ${CMAKE_SOURCE_DIR}/packaging/tarnwick-launch)
    set(tw_man_tarnwick $<TARGET_FILE:tarnwick>)
    set(tw_man_tarnwick-standin $<TARGET_FILE:tarnwick-standin>)
    set(tw_man_tarnwick-launch ${launch})
    foreach(program tarnwick tarnwick-standin tarnwick-launch)
        set(h2m ${CMAKE_SOURCE_DIR}/packaging/man/${program}.h2m)
        add_custom_command(OUTPUT ${gen}/${program}.1
            COMMAND ${CMAKE_COMMAND} -E env TARNWICK_GATEWAY=$<TARGET_FILE:tarnwick> QT_QPA_PLATFORM=offscreen
                    ${HELP2MAN} --no-info --section=1 --include=${h2m} --output=${gen}/${program}.1
                    ${tw_man_${program}}
            DEPENDS tarnwick tarnwick-standin ${launch} ${h2m} VERBATIM)
        tw_gzip(${gen}/${program}.1 ${gen}/${program}.1.gz)
        list(APPEND doc_outputs ${gen}/${program}.1.gz)
        install(FILES ${gen}/${program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endforeach()
else()
    message(STATUS "help2man not found: no manual pages (scripts/deps.sh installs it)")
endif()
add_custom_target(package_docs ALL DEPENDS ${doc_outputs})

set(CPACK_PACKAGE_NAME tarnwick)
set(CPACK_PACKAGE_VENDOR "Tarnwick")
set(CPACK_PACKAGE_CONTACT "Tarnwick developers <dev@tarnwick.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "LoRaWAN to Modbus TCP gateway")
# The long description under the summary; CPack indents it. Lines stay under 80 columns.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Tarnwick logs in to a LoRaWAN network server over its WebSocket JSON API,
decodes the uplinks of registered end devices with JSON device templates,
stores the values in SQLite and serves them to SCADA systems and PLCs over
Modbus TCP, on a port of the operator's choice for each device.

It runs with a window, or headless as the systemd service tarnwick.service.
The package includes tarnwick-standin, a stand-in network server with sample
devices, so that a first start shows a working gateway.")
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TW_DEB_RELEASE})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The SQLite driver is loaded as a plugin, so the library scan cannot see it;
# the maintainer scripts create the service's user.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt5sql5-sqlite, adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-dejavu-core, mbpoll")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/debian/postinst
    ${CMAKE_SOURCE_DIR}/packaging/debian/prerm
    ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)

if(BUILD_TESTING)
    foreach(program tarnwick tarnwick-standin tarnwick-launch)
        set(path ${CMAKE_SOURCE_DIR}/packaging/tarnwick-launch)
        if(TARGET ${program})
            set(path $<TARGET_FILE:${program}>)
        endif()
        add_test(NAME help_in_readme_${program}
                 COMMAND ${CMAKE_COMMAND} -DPROGRAM=${path} -DREADME=${CMAKE_SOURCE_DIR}/README.md
                         -P ${CMAKE_SOURCE_DIR}/packaging/CheckHelpInReadme.cmake)
        set_tests_properties(help_in_readme_${program} PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
    endforeach()
endif()
