# Read by cpack: the files in a package carry the last commit's time, not the
# build's, so that two builds of one commit give the same bytes. A
# SOURCE_DATE_EPOCH already set wins.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
    execute_process(COMMAND git -C "${CPACK_PMSENSOR_SOURCE_DIR}" log -1 --format=%ct
        OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
    if(NOT failed AND epoch)
        set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
    endif()
endif()
