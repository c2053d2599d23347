target_link_libraries(${helper} PRIVATE crypt32)
