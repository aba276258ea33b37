# Read by cpack: the files in a package carry the sources' date (see
# CMakeLists.txt), not the build's. A SOURCE_DATE_EPOCH already set wins.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} AND CPACK_PMSENSOR_SOURCE_DATE_EPOCH)
    set(ENV{SOURCE_DATE_EPOCH} "${CPACK_PMSENSOR_SOURCE_DATE_EPOCH}")
endif()
