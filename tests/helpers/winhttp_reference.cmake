target_link_options(${helper} PRIVATE -municode)
