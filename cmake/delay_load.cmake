# winhttp.dll and bcrypt.dll are not among the system's known DLLs, which Windows always takes
# from the system folder: imported the usual way, the loader would look for them in the
# launcher's folder first, before main runs. They are delay-loaded instead, each loaded at its
# first call, after load_dlls_from_system_folder_only (src/launcher/dll_search_win.cpp) has left
# only the system folder to search.
#   velda_delay_loaded_library(NAME): the target velda_delay_NAME, a delay-import library of
#   NAME.dll with every function of MinGW's import library libNAME.a.
function(velda_delay_loaded_library name)
    find_library(velda_import_library_${name} NAMES lib${name}.a REQUIRED NO_CACHE)
    execute_process(COMMAND ${CMAKE_NM} -g ${velda_import_library_${name}}
        OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCHALL " I __imp_[A-Za-z0-9_@]+" imports "${symbols}")
    list(TRANSFORM imports REPLACE " I __imp_" "")
    list(REMOVE_DUPLICATES imports)
    list(SORT imports)
    if(NOT imports)
        message(FATAL_ERROR "no functions found in ${velda_import_library_${name}}")
    endif()
    list(JOIN imports "\n" exports)
    set(folder ${PROJECT_BINARY_DIR}/delay_load)
    file(MAKE_DIRECTORY ${folder})
    file(WRITE ${folder}/${name}.def "LIBRARY ${name}.dll\nEXPORTS\n${exports}\n")
    execute_process(COMMAND ${CMAKE_DLLTOOL} --input-def ${folder}/${name}.def
        --dllname ${name}.dll --output-delaylib ${folder}/lib${name}_delay.a
        COMMAND_ERROR_IS_FATAL ANY)
    add_library(velda_delay_${name} STATIC IMPORTED GLOBAL)
    set_target_properties(velda_delay_${name} PROPERTIES
        IMPORTED_LOCATION ${folder}/lib${name}_delay.a)
endfunction()
