# Installing and packaging the loader.
#
#   cmake --install build [--prefix DIR]   the loader, zorbelflash and zorbelstation,
#                                          icons, desktop entries, manual pages, bash
#                                          completion
#   make package                           a .deb of the same (CPack), in the build folder
#
# The loader looks for its window icon as images/zorbelfwloader.ico in its working
# directory. The desktop entry therefore starts it in share/zorbelfwloader, where
# that file is installed; started from elsewhere it shows the same icon from its
# compiled-in copy (the fallback of PELKfwloader::loaderIcon).

include(GNUInstallDirs)

set(ZORBEL_DATA_SUBDIR ${CMAKE_INSTALL_DATADIR}/zorbelfwloader)
set(ZORBEL_HICOLOR_SIZE 128x128) # images/zorbelfwloader.png is 128 x 128 pixels

install(FILES ${PROJECT_SOURCE_DIR}/images/zorbelfwloader.ico
        DESTINATION ${ZORBEL_DATA_SUBDIR}/images)
install(FILES ${PROJECT_SOURCE_DIR}/images/zorbelfwloader.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${ZORBEL_HICOLOR_SIZE}/apps)

# The desktop entry names absolute paths (Exec=, Path=), so it is written at install
# time, for the prefix being installed to: --prefix, or /usr when CPack builds the .deb.
set(ZORBEL_DESKTOP_TEMPLATE ${PROJECT_BINARY_DIR}/packaging/zorbelfwloader.desktop.in)
file(WRITE ${ZORBEL_DESKTOP_TEMPLATE} "[Desktop Entry]
Type=Application
Name=ZORBELfwloader
GenericName=Firmware Loader
GenericName[de]=Firmware-Lader
Comment=Write new firmware into the Zorbelmeter over a serial port
Comment[de]=Neue Firmware über die serielle Schnittstelle in das Zorbelmeter schreiben
Exec=@ZORBEL_PREFIX@/${CMAKE_INSTALL_BINDIR}/zorbelfwloader
Path=@ZORBEL_PREFIX@/${ZORBEL_DATA_SUBDIR}
Icon=zorbelfwloader
Terminal=false
Categories=Development;Electronics;
Keywords=firmware;flash;HEX;serial;COM;
")
# The station on a screen: started with a station profile (a file manager's "open
# with", or a line's own entry naming its profile); without one it says why it does
# not start.
set(ZORBEL_STATION_DESKTOP_TEMPLATE ${PROJECT_BINARY_DIR}/packaging/zorbelstation.desktop.in)
file(WRITE ${ZORBEL_STATION_DESKTOP_TEMPLATE} "[Desktop Entry]
Type=Application
Name=ZORBELstation
GenericName=Firmware Station
GenericName[de]=Firmware-Station
Comment=Write Zorbelmeter firmware on a production bench, one tile per socket
Comment[de]=Zorbelmeter-Firmware am Fertigungsplatz schreiben, eine Kachel je Steckplatz
Exec=@ZORBEL_PREFIX@/${CMAKE_INSTALL_BINDIR}/zorbelstation %f
Icon=zorbelfwloader
Terminal=false
Categories=Development;Electronics;
Keywords=firmware;flash;production;station;serial;
")
install(CODE "
    set(ZORBEL_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    foreach(entry zorbelfwloader zorbelstation)
        configure_file(\"${PROJECT_BINARY_DIR}/packaging/\${entry}.desktop.in\"
                       \"${PROJECT_BINARY_DIR}/packaging/\${entry}.desktop\" @ONLY)
        file(INSTALL \"${PROJECT_BINARY_DIR}/packaging/\${entry}.desktop\"
             DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/applications\")
    endforeach()
")

# Manual pages (section 1), bash completion of zorbelflash, and the copyright and
# changelog files a Debian package carries. Pages and changelog are compressed the way
# Debian wants them: gzip -9n (no name, no time stamp, so a rebuild gives the same bytes).
if(UNIX)
    find_program(ZORBEL_GZIP gzip REQUIRED)
    set(ZORBEL_PACKAGING_DIR ${PROJECT_BINARY_DIR}/packaging)
    set(ZORBEL_COMPRESSED_FILES)
    foreach(source docs/man/zorbelflash.1 docs/man/zorbelfwloader.1 docs/man/zorbelstation.1
                   packaging/debian/changelog)
        get_filename_component(name ${source} NAME)
        set(output ${ZORBEL_PACKAGING_DIR}/${name}.gz)
        add_custom_command(OUTPUT ${output}
            COMMAND sh -c "\"$1\" -9n -c \"$2\" > \"$3\"" sh ${ZORBEL_GZIP}
                    ${PROJECT_SOURCE_DIR}/${source} ${output}
            DEPENDS ${PROJECT_SOURCE_DIR}/${source}
            COMMENT "Compressing ${name}"
            VERBATIM)
        list(APPEND ZORBEL_COMPRESSED_FILES ${output})
    endforeach()
    add_custom_target(zorbel_packaging_files ALL DEPENDS ${ZORBEL_COMPRESSED_FILES})

    install(FILES ${ZORBEL_PACKAGING_DIR}/zorbelflash.1.gz ${ZORBEL_PACKAGING_DIR}/zorbelfwloader.1.gz
                  ${ZORBEL_PACKAGING_DIR}/zorbelstation.1.gz
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${PROJECT_SOURCE_DIR}/cli/zorbelflash.bash-completion
            DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
            RENAME zorbelflash)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
                  ${ZORBEL_PACKAGING_DIR}/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zorbelfwloader)
    # The station as a service: the unit template and a commented example profile.
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/systemd/zorbelflash-station@.service
            DESTINATION lib/systemd/system)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/systemd/station.conf
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zorbelfwloader/examples)
endif()

# The .deb.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zorbelfwloader)
set(CPACK_PACKAGE_VENDOR "zorbelfwloader")
set(CPACK_PACKAGE_CONTACT "zorbelfwloader maintainers <zorbelfwloader@example.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware loader for the Zorbelmeter (serial port)")
# Lines of at most 80 characters, as Debian's policy asks.
set(CPACK_PACKAGE_DESCRIPTION
    "zorbelfwloader finds the Zorbelmeter on a serial port, loads an Intel HEX
firmware file, checks that it suits the instrument and writes it into the
instrument's flash, in one window.

zorbelflash does the same from the command line, for service benches and
production lines: it writes several instruments at once, keeps JSON records of
what was written where and says by its exit status what happened.

zorbelstation shows a production station on a screen: it writes every unit
plugged into the bench's sockets that does not answer the expected version,
one tile per socket, coloured by its state and readable from across the bench,
with the same records as zorbelflash.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The Qt libraries the loader runs on. dpkg-shlibdeps (package dpkg-dev) reads them,
# with their versions, from the executable; without it they are named here.
find_program(ZORBEL_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(ZORBEL_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS
        "libqt6core6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6widgets6 (>= 6.4), libqt6serialport6 (>= 6.4)")
endif()
# A desktop without X11 runs the loader through Wayland with this plugin.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "qt6-wayland")

include(CPack)
