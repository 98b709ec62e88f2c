# Installation and the Debian package, plus the tool that takes the user
# guide's screenshots. Paths follow GNUInstallDirs, so
# `cmake --install build --prefix /usr` lays out what a distribution expects.

set(TAVRIN_PROGRAMS tavrin)
if(TARGET tavrin-sim)
    # Shipped so a user can try the program, or check a setup, without a car.
    list(APPEND TAVRIN_PROGRAMS tavrin-sim)
endif()
install(TARGETS ${TAVRIN_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# A stripped install (the package's) also drops .comment, the compilers'
# version strings, which the program does not need and Debian strips too.
foreach(program ${TAVRIN_PROGRAMS})
    install(CODE "if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\"
        COMMAND_ERROR_IS_FATAL ANY)
endif()")
endforeach()

# The entry's file name matches QApplication::setDesktopFileName("tavrin"), so
# a Wayland compositor finds the icon for the program's windows.
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/tavrin.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

set(TAVRIN_ICON_32 ${CMAKE_CURRENT_SOURCE_DIR}/resources/icons/tavrin-32.png)
set(TAVRIN_ICON_SVG ${CMAKE_CURRENT_SOURCE_DIR}/resources/icons/tavrin.svg)
if(EXISTS ${TAVRIN_ICON_32})
    install(FILES ${TAVRIN_ICON_32}
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps
            RENAME tavrin.png)
endif()
if(EXISTS ${TAVRIN_ICON_SVG})
    install(FILES ${TAVRIN_ICON_SVG}
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()

# The user guide with its pictures, under the package's (lower-case) name as
# Debian expects.
set(TAVRIN_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/tavrin)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/README.md DESTINATION ${TAVRIN_DOC_DIR})
if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/docs/screenshots)
    install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/docs/screenshots
            DESTINATION ${TAVRIN_DOC_DIR}/docs FILES_MATCHING PATTERN "*.png")
endif()

# Debian's machine-readable copyright file; it refers to the system's copy of
# the licence text in /usr/share/common-licenses.
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/copyright DESTINATION ${TAVRIN_DOC_DIR})

# The maintainer named in the package and in its changelog. There is no shared
# address yet; the reserved .invalid domain keeps mail from going anywhere.
if(NOT DEFINED TAVRIN_MAINTAINER)
    set(TAVRIN_MAINTAINER "Tavrin developers <tavrin@users.noreply.invalid>")
endif()

# lintian's one false alarm on this package, explained in the file.
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME tavrin)

# For software centres; the component id is also the file's name.
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/org.example.tavrin.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# ---------------------------------------- Changelog and manual pages

# What each release brought, for people.
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/CHANGELOG.md DESTINATION ${TAVRIN_DOC_DIR})

# Compressed with gzip -9n, as Debian wants them: the most compression, and no
# file name or time in the header, so that every build gives the same bytes.
find_program(TAVRIN_GZIP gzip REQUIRED)
set(TAVRIN_COMPRESSED_DIR ${PROJECT_BINARY_DIR}/compressed)
set(TAVRIN_COMPRESSED_FILES)
function(tavrin_compress source name)
    set(plain ${TAVRIN_COMPRESSED_DIR}/${name})
    add_custom_command(OUTPUT ${plain}.gz
                       COMMAND ${CMAKE_COMMAND} -E copy ${source} ${plain}
                       COMMAND ${TAVRIN_GZIP} -9nf ${plain}
                       DEPENDS ${source}
                       VERBATIM)
    set(TAVRIN_COMPRESSED_FILES ${TAVRIN_COMPRESSED_FILES} ${plain}.gz PARENT_SCOPE)
endfunction()

# A native package's changelog: one entry, for this version. Its date comes
# from TAVRIN_RELEASE_DATE, or from SOURCE_DATE_EPOCH when CMake configures.
include(${CMAKE_CURRENT_LIST_DIR}/ChangelogDate.cmake)
tavrin_changelog_date(TAVRIN_CHANGELOG_DATE ${TAVRIN_RELEASE_DATE})
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog.in
               ${PROJECT_BINARY_DIR}/packaging/changelog @ONLY)
tavrin_compress(${PROJECT_BINARY_DIR}/packaging/changelog doc/changelog)
install(FILES ${TAVRIN_COMPRESSED_DIR}/doc/changelog.gz DESTINATION ${TAVRIN_DOC_DIR})

set(TAVRIN_MAN_PAGES tavrin.1)
if(TARGET tavrin-sim)
    list(APPEND TAVRIN_MAN_PAGES tavrin-sim.1)
endif()
foreach(page ${TAVRIN_MAN_PAGES})
    tavrin_compress(${CMAKE_CURRENT_SOURCE_DIR}/packaging/man/${page} man/${page})
    install(FILES ${TAVRIN_COMPRESSED_DIR}/man/${page}.gz
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

add_custom_target(tavrin-compressed-docs ALL DEPENDS ${TAVRIN_COMPRESSED_FILES})

# ---------------------------------------------------------------- Packaging

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavrin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# For generators that show the licence; the .deb carries the copyright file.
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Instrument cluster tool for BA/BF Falcon and SX/SY Territory cars")
set(CPACK_PACKAGE_DESCRIPTION
    "Talks through an ELM327-type OBD-II adapter (USB or Bluetooth serial) to the\n\
instrument cluster of a 2002-2008 BA/BF Falcon or a 2004-2010 SX/SY Territory:\n\
shows the cluster's part number and the car model it is set up for, shows the\n\
police mode setting and switches it. Includes tavrin-sim, a simulated adapter\n\
and car for trying the program without one.")
if(NOT CPACK_PACKAGE_CONTACT)
    set(CPACK_PACKAGE_CONTACT "${TAVRIN_MAINTAINER}")
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Dependencies come from what the binaries are actually linked against
# (dpkg-shlibdeps), never from a list kept by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt loads its window-system plugin at run time, which dpkg-shlibdeps cannot
# see; without it the program cannot open a window at all.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland")
set(CPACK_STRIP_FILES ON)
# Only what was installed above: no maintainer scripts, no users or groups.
set(CPACK_SOURCE_GENERATOR "")
include(CPack)

include(${CMAKE_CURRENT_LIST_DIR}/Screenshots.cmake)
