# What an installation holds beyond the two programs, the desktop entry and the icons, and the
# Debian package CPack makes of it (cpack -G DEB in the build tree; scripts/package.sh does it all).

install(FILES resources/vqd.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        RENAME quillmorne.svg)
install(FILES resources/org.quillmorne.quillmorne.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES resources/bash-completion/quillmorne-convert
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
# The documentation folder is named after the package (GNUInstallDirs would name it after the project).
set(QUILLMORNE_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/quillmorne)
install(FILES docs/report.schema.json DESTINATION ${QUILLMORNE_DOC_DIR})

# Debian wants a copyright file and a compressed changelog in the package's documentation folder.
set(QUILLMORNE_PACKAGE_DOC_DIR ${PROJECT_BINARY_DIR}/package-doc)
add_custom_command(
    OUTPUT ${QUILLMORNE_PACKAGE_DOC_DIR}/changelog.gz
    COMMAND ${CMAKE_COMMAND} -DSOURCE=${PROJECT_SOURCE_DIR}/resources/debian/changelog
            -DOUTPUT=${QUILLMORNE_PACKAGE_DOC_DIR}/changelog.gz -P ${PROJECT_SOURCE_DIR}/cmake/gzip-n.cmake
    DEPENDS ${PROJECT_SOURCE_DIR}/resources/debian/changelog ${PROJECT_SOURCE_DIR}/cmake/gzip-n.cmake
    COMMENT "Compressing the package changelog"
    VERBATIM)
add_custom_target(package-doc ALL DEPENDS ${QUILLMORNE_PACKAGE_DOC_DIR}/changelog.gz)
install(FILES ${QUILLMORNE_PACKAGE_DOC_DIR}/changelog.gz resources/debian/copyright DESTINATION ${QUILLMORNE_DOC_DIR})

# A stripped installation (cmake --install --strip, or CPack) loses the compiler's banners too, as
# dh_strip strips: the .comment and .note sections are of no use in a package.
install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
        foreach(program Quillmorne quillmorne-convert)
            execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
                                    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}\")
        endforeach()
    endif()")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillmorne)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Quillmorne developers")
set(CPACK_PACKAGE_CONTACT "The Quillmorne developers <quillmorne@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "convert a folder of text files into spreadsheet workbooks")
# CPack puts the summary above this as the first line of the Description field.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Quillmorne turns every .txt file below a folder into one .xlsx or .xls
workbook, beside the text or in the same sub-folder below a save folder.
Numbers, dates, times, percentages and TRUE/FALSE become typed cells; long
ID numbers and codes with leading zeros keep every digit; rows past a
sheet's end continue on further sheets, and whatever a format cannot hold
is listed on a warning sheet. UTF-8, GBK and UTF-16 texts are recognised.
.
The package holds the window program (its texts are in Simplified Chinese)
and the command-line tool quillmorne-convert, with manual pages in English
and Chinese and bash completion.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies are computed from the programs' shared libraries by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# xdg-open shows the failure list; a CJK font lets the window's Chinese texts be read; Qt's own
# translations make its dialogs and buttons Chinese.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, fonts-noto-cjk | fonts-wqy-microhei, qttranslations5-l10n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE QUILLMORNE_DEB_ARCH
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT QUILLMORNE_DEB_ARCH)
    set(QUILLMORNE_DEB_ARCH amd64)
endif()
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${QUILLMORNE_DEB_ARCH})
set(CPACK_DEBIAN_FILE_NAME quillmorne_${PROJECT_VERSION}_${QUILLMORNE_DEB_ARCH}.deb)
include(CPack)
