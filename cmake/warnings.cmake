# Warnings as errors for the project's own targets (third-party code keeps its defaults).
function(velda_strict target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Werror)
endfunction()
