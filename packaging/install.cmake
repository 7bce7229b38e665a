# Install rules and the Debian package.
#
#   cmake --install build [--prefix DIR]    the programs, the music, a desktop entry, an icon,
#                                           the manual pages, the changelog and the licence
#   (cd build && cpack)                     build/mincer_<version>_<arch>.deb
#
# Installing builds the music first (target 'music', not part of the default build).

include(GNUInstallDirs)

# Who answers for the package: its Maintainer field and the copyright file's contact.
set(MINCER_MAINTAINER "The mincer developers <developers@mincer.invalid>")

# Where music.raw goes; the programs find it there from their own folder.
set(MINCER_DATA_DIR ${CMAKE_INSTALL_DATADIR}/mincer)

install(TARGETS mincer mincer-capture RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The music is rendered by its own target; build it (a no-op when it is up to date) so that
# neither an install nor a package can miss it or ship a stale one.
if(TARGET music)
    install(CODE "
        execute_process(COMMAND \"${CMAKE_COMMAND}\" --build \"${CMAKE_BINARY_DIR}\" --target music
                        RESULT_VARIABLE musicResult)
        if(NOT musicResult EQUAL 0)
            message(FATAL_ERROR \"Building the music (target 'music') failed\")
        endif()")
endif()
install(CODE "
    if(NOT EXISTS \"${CMAKE_BINARY_DIR}/music.raw\")
        message(FATAL_ERROR \"${CMAKE_BINARY_DIR}/music.raw is missing: build it with \"
                            \"'cmake --build ${CMAKE_BINARY_DIR} --target music'\")
    endif()")
install(FILES ${CMAKE_BINARY_DIR}/music.raw DESTINATION ${MINCER_DATA_DIR})

# The manual pages name the music's folder under the prefix actually installed to (a package
# installs to /usr whatever the build's prefix), so they are written at install time;
# documents.cmake writes the manual pages, the changelog and the copyright file.
set(MINCER_DOCUMENTS_DIR ${CMAKE_BINARY_DIR}/documents)
install(CODE "
    set(MINCER_MUSIC_DIR \"\${CMAKE_INSTALL_PREFIX}/${MINCER_DATA_DIR}\")
    configure_file(\"${CMAKE_CURRENT_LIST_DIR}/mincer.desktop.in\"
                   \"${CMAKE_BINARY_DIR}/mincer.desktop\" @ONLY)
    set(MINCER_SOURCE_DIR \"${PROJECT_SOURCE_DIR}\")
    set(MINCER_DOCUMENTS_DIR \"${MINCER_DOCUMENTS_DIR}\")
    set(MINCER_VERSION \"${PROJECT_VERSION}\")
    set(MINCER_MAINTAINER \"${MINCER_MAINTAINER}\")
    include(\"${CMAKE_CURRENT_LIST_DIR}/documents.cmake\")")
install(FILES ${CMAKE_BINARY_DIR}/mincer.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
# Painted at build time from the character image (tools/icon/).
install(FILES ${CMAKE_BINARY_DIR}/mincer.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps)
install(FILES ${MINCER_DOCUMENTS_DIR}/mincer.1.gz ${MINCER_DOCUMENTS_DIR}/mincer-capture.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${MINCER_DOCUMENTS_DIR}/changelog.gz ${MINCER_DOCUMENTS_DIR}/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mincer)
set(CPACK_PACKAGE_VENDOR "The mincer developers")
set(CPACK_PACKAGE_CONTACT "${MINCER_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "self-running audiovisual demo")
# Lines as they appear in the package's description, none longer than 80 characters.
set(CPACK_PACKAGE_DESCRIPTION "\
Mincer plays two animated scenes full-screen to its own music: a character
in a forest, then a meat grinder with greetings. The music is the show's
clock, and the pictures fit any screen. The arrow keys seek, Escape quits.

mincer-capture renders the demo offline to a video (with ffmpeg), PNG
frames or a storyboard.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
# The shared libraries' packages (Qt with its D-Bus module, SDL, libsndfile, libsoxr, libpulse,
# the C++ runtime) are found by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# mincer-capture --video runs ffmpeg; in a Wayland session Qt's wayland platform gives the
# demo a native window that the compositor paces (without it, Qt runs it through XWayland); rtkit
# gives an ordinary user's audio threads their priority (without it, they keep the rest's).
if(MINCER_QT STREQUAL "6")
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ffmpeg, qt6-wayland, rtkit")
else()
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ffmpeg, qtwayland5, rtkit")
endif()
include(CPack)
