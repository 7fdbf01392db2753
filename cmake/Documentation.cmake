# The manual pages, English and Chinese, each written at build time from one bilingual source in
# docs/man by docs/man/mkman.py, into man/ of the build tree (man1/ and zh_CN/man1/).
find_package(Python3 COMPONENTS Interpreter)
option(QUILLMORNE_MANUAL "Build and install the manual pages (needs Python 3)" ${Python3_Interpreter_FOUND})

if(QUILLMORNE_MANUAL)
    if(NOT Python3_Interpreter_FOUND)
        message(FATAL_ERROR "The manual pages need Python 3; install python3 or set QUILLMORNE_MANUAL=OFF")
    endif()
    set(QUILLMORNE_MAN_SOURCES ${PROJECT_SOURCE_DIR}/docs/man/quillmorne-convert.1.in
                               ${PROJECT_SOURCE_DIR}/docs/man/Quillmorne.1.in)
    set(QUILLMORNE_MAN_DIR ${PROJECT_BINARY_DIR}/man)
    set(pages)
    foreach(source ${QUILLMORNE_MAN_SOURCES})
        get_filename_component(name ${source} NAME)
        string(REGEX REPLACE "\\.in$" "" page ${name})
        string(REGEX REPLACE "^.*\\.([0-9])$" "\\1" section ${page})
        foreach(folder man${section} zh_CN/man${section})
            list(APPEND pages ${QUILLMORNE_MAN_DIR}/${folder}/${page} ${QUILLMORNE_MAN_DIR}/${folder}/${page}.gz)
        endforeach()
    endforeach()
    add_custom_command(
        OUTPUT ${pages}
        COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/docs/man/mkman.py --version ${PROJECT_VERSION}
                --out ${QUILLMORNE_MAN_DIR} ${QUILLMORNE_MAN_SOURCES}
        DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/mkman.py ${QUILLMORNE_MAN_SOURCES}
        COMMENT "Writing the manual pages"
        VERBATIM)
    add_custom_target(manpages ALL DEPENDS ${pages})

    # Only the compressed pages are installed, as Debian's policy wants them.
    foreach(page ${pages})
        if(page MATCHES "\\.gz$")
            file(RELATIVE_PATH relative ${QUILLMORNE_MAN_DIR} ${page})
            get_filename_component(folder ${relative} DIRECTORY)
            install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/${folder})
        endif()
    endforeach()
endif()
