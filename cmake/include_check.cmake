# An include whose path climbs with ".." ("../x.h", "dir/../x.h") reaches any header of the
# tree, past the include directories that keep each library to the layers below it. The check
# runs when CMake configures and again in every build where a scanned file changed; a hit stops
# it with the file and line. Alone, over any folders:
#   cmake -DVELDA_INCLUDE_CHECK_ROOTS="src|tests" -P cmake/include_check.cmake

# A ".." segment in the path of an #include, between quotes or angle brackets.
set(velda_climbing_include_regex
    "^[ \t]*#[ \t]*include[ \t]*[\"<]([^\">]*[/\\])?\\.\\.([/\\]|[\">])")

# The files of roots that may hold includes, in a stable order.
function(velda_include_check_files out_var)
    set(globs)
    foreach(root IN LISTS ARGN)
        foreach(extension h hpp c cc cpp cxx inl rc rc.in)
            list(APPEND globs ${root}/*.${extension})
        endforeach()
    endforeach()
    file(GLOB_RECURSE files LIST_DIRECTORIES false ${globs})
    list(SORT files)
    set(${out_var} ${files} PARENT_SCOPE)
endfunction()

# "<file>:<line>: <text>" for each climbing include of file, into out_var.
function(velda_climbing_includes_of file out_var)
    set(hits)
    file(READ ${file} content)
    # Cheap test first: most files hold no ".." in any include at all.
    if(content MATCHES "#[ \t]*include[ \t]*[\"<][^\">\n]*\\.\\.")
        # ";", "\" and brackets would split or join list items; stand-ins keep each line whole.
        string(REPLACE ";" "<semicolon>" content "${content}")
        string(REPLACE "\\" "<backslash>" content "${content}")
        string(REPLACE "[" "<open>" content "${content}")
        string(REPLACE "]" "<close>" content "${content}")
        string(REPLACE "\n" ";" lines "${content}")
        set(number 0)
        foreach(line IN LISTS lines)
            math(EXPR number "${number} + 1")
            string(REPLACE "<backslash>" "\\" line "${line}")
            if(line MATCHES "${velda_climbing_include_regex}")
                string(STRIP "${line}" text)
                list(APPEND hits "${file}:${number}: ${text}")
            endif()
        endforeach()
    endif()
    set(${out_var} ${hits} PARENT_SCOPE)
endfunction()

# Stops with every hit of the files of roots.
function(velda_check_includes)
    velda_include_check_files(files ${ARGN})
    set(report)
    foreach(file IN LISTS files)
        velda_climbing_includes_of(${file} hits)
        foreach(hit IN LISTS hits)
            string(APPEND report "\n  ${hit}")
        endforeach()
    endforeach()
    if(report)
        message(FATAL_ERROR "An #include climbs out with \"..\"; include it by its library's "
                            "name (\"common/log.h\") or add its folder to the target's include "
                            "directories:${report}")
    endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    # "|" between roots: a ";" would not survive the build tool's command line.
    string(REPLACE "|" ";" roots "${VELDA_INCLUDE_CHECK_ROOTS}")
    velda_check_includes(${roots})
    if(VELDA_INCLUDE_CHECK_STAMP)
        file(TOUCH ${VELDA_INCLUDE_CHECK_STAMP})
    endif()
endif()
