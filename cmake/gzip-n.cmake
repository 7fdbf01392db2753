# Compresses SOURCE into OUTPUT the way Debian wants documentation compressed: gzip -9n (maximum
# compression, no file name or time stamp in the header), so the same input gives the same bytes.
find_program(GZIP gzip REQUIRED)
get_filename_component(folder ${OUTPUT} DIRECTORY)
file(MAKE_DIRECTORY ${folder})
execute_process(COMMAND ${GZIP} -9nc ${SOURCE} OUTPUT_FILE ${OUTPUT} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "gzip failed on ${SOURCE}")
endif()
