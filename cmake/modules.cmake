# One static library per folder of src/. A library sees the headers of its own folder and of the
# libraries it links, nothing else, so an include that points the wrong way fails to compile.
#   velda_module(NAME PORTABLE files... WINDOWS files... DEPS libraries... WIN32_LIBS libraries...)
# PORTABLE files build everywhere; WINDOWS files only with MinGW.
function(velda_module name)
    cmake_parse_arguments(arg "" "" "PORTABLE;WINDOWS;DEPS;WIN32_LIBS" ${ARGN})
    set(target velda_${name})
    set(sources ${arg_PORTABLE})
    if(WIN32)
        list(APPEND sources ${arg_WINDOWS})
    endif()

    # include/<name>/<name> links to the folder, so sources write "<name>/header.h".
    set(include_root ${PROJECT_BINARY_DIR}/include/${name})
    file(MAKE_DIRECTORY ${include_root})
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${include_root}/${name} SYMBOLIC)

    if(sources)
        add_library(${target} STATIC ${sources})
        target_include_directories(${target} PUBLIC ${include_root})
        target_link_libraries(${target} PUBLIC ${arg_DEPS})
        if(WIN32)
            target_link_libraries(${target} PUBLIC ${arg_WIN32_LIBS})
        endif()
        velda_strict(${target})
    else()
        add_library(${target} INTERFACE)
        target_include_directories(${target} INTERFACE ${include_root})
        target_link_libraries(${target} INTERFACE ${arg_DEPS})
    endif()
endfunction()
