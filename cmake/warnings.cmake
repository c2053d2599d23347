# Warnings as errors for the project's own targets (third-party code keeps its defaults).
function(velda_strict target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Werror)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12)
        # GCC 12 reports false overlaps inside std::string at -O2 (GCC bug 105329).
        target_compile_options(${target} PRIVATE -Wno-restrict)
    endif()
endfunction()
