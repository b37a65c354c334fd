# zorbel_require_sources(file...): stops the configure step with a clear message when a
# source named in a build file is not there (a misspelt test would otherwise be missing
# from the build without a word). Relative names are taken from the calling folder.
function(zorbel_require_sources)
    foreach(source IN LISTS ARGN)
        if(IS_ABSOLUTE "${source}")
            set(path "${source}")
        else()
            set(path "${CMAKE_CURRENT_SOURCE_DIR}/${source}")
        endif()
        if(NOT EXISTS "${path}")
            file(RELATIVE_PATH shown "${PROJECT_SOURCE_DIR}" "${path}")
            message(FATAL_ERROR "No such source file: ${shown} (named in ${CMAKE_CURRENT_LIST_FILE})")
        endif()
    endforeach()
endfunction()
