# The stand-in unpacks deflate entries itself; zlib is linked in statically so the copied exe
# needs no DLL beside it in system32.
find_library(VELDA_ZLIB_STATIC NAMES libz.a REQUIRED)
target_link_libraries(${helper} PRIVATE ${VELDA_ZLIB_STATIC})
