# Creates FILE empty when it does not exist; an existing file (with the user's choices) is kept.
if(NOT EXISTS "${FILE}")
    file(WRITE "${FILE}" "")
endif()
