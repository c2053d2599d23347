target_link_libraries(${helper} PRIVATE velda_delta psapi)
