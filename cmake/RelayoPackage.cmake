# The Debian package of the program (./relayo package): the program with its
# QML and guide compiled in, relayo-models (which fetches the speech models
# before a meeting), the desktop entry, the icon and the package's own
# documents. Library dependencies come from dpkg-shlibdeps; what the program
# loads or runs by name is declared here.
include(GNUInstallDirs)

install(TARGETS relayo-models RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(RELAYO_PACKAGE_DOCS ${CMAKE_INSTALL_DATADIR}/doc/relayo)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${RELAYO_PACKAGE_DOCS})
# Debian wants the changelog and the manual page compressed, reproducibly (no name or time
# stamp in the gzip header).
set(RELAYO_COMPRESSED_DOCS)
foreach(document changelog relayo-app.1 relayo-models.1)
    set(compressed ${CMAKE_BINARY_DIR}/packaging/${document}.gz)
    add_custom_command(OUTPUT ${compressed}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
        COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/packaging/${document} > ${compressed}
        DEPENDS ${PROJECT_SOURCE_DIR}/packaging/${document}
        VERBATIM)
    list(APPEND RELAYO_COMPRESSED_DOCS ${compressed})
endforeach()
add_custom_target(relayo-package-docs ALL DEPENDS ${RELAYO_COMPRESSED_DOCS})
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz DESTINATION ${RELAYO_PACKAGE_DOCS})
install(FILES ${CMAKE_BINARY_DIR}/packaging/relayo-app.1.gz
              ${CMAKE_BINARY_DIR}/packaging/relayo-models.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME relayo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Relayo developers <support@relayo.app>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "meeting assistant with Korean captions of English meetings")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Relayo listens to the meeting application you choose, recognises the other\n"
    "party's English on this computer and shows a live caption with a Korean\n"
    "translation. Your Korean answer is translated to English and voiced into a\n"
    "virtual microphone that the meeting hears, only when you press send.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://relayo.app")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# Loaded or run by name: the QML modules of the window, the window system plugins,
# the speech tool, the mail helper and the fast matrix library libtorch picks at run time.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "qml6-module-qtquick, qml6-module-qtquick-controls, qml6-module-qtquick-layouts, \
qml6-module-qtquick-templates, qml6-module-qtquick-window, qml6-module-qtqml-workerscript, \
qt6-qpa-plugins, espeak-ng, xdg-utils, libopenblas0-pthread")
# The sound server, a Secret Service for the ElevenLabs key and a Korean font, which a
# desktop usually has already.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "pulseaudio | pipewire-pulse, gnome-keyring | kwalletmanager | keepassxc, fonts-nanum, qt6-wayland")
include(CPack)
