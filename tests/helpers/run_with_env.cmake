# UTF-8 as the ANSI code page, as the launcher has it: arguments and variables with any
# characters reach the launcher unchanged.
set(velda_utf8_rc ${CMAKE_CURRENT_BINARY_DIR}/utf8_code_page.rc)
file(WRITE ${velda_utf8_rc} "1 24 \"${CMAKE_CURRENT_SOURCE_DIR}/utf8_code_page.manifest\"\n")
target_sources(${helper} PRIVATE ${velda_utf8_rc})
