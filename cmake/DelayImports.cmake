# System libraries that are not KnownDLLs must not appear in the executable's
# import table: Windows would look for them in the installer's own folder
# first (typically Downloads). They are linked through delay-load import
# libraries and resolved on first use, after start-up has restricted the
# DLL search to the system directory.
find_program(QUILMO_NM NAMES i686-w64-mingw32-nm REQUIRED)
find_program(QUILMO_DLLTOOL NAMES i686-w64-mingw32-dlltool REQUIRED)
find_file(QUILMO_MINGW_LIB_DIR NAMES libkernel32.a PATHS /usr/i686-w64-mingw32/lib NO_DEFAULT_PATH REQUIRED)
get_filename_component(QUILMO_MINGW_LIB_DIR "${QUILMO_MINGW_LIB_DIR}" DIRECTORY)

# quilmo_delay_import(<name>) defines the imported library target
# quilmo::delay_<name> for <name>.dll.
function(quilmo_delay_import name)
    set(output ${CMAKE_BINARY_DIR}/delayimp/lib${name}_delay.a)
    add_custom_command(
        OUTPUT ${output}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/delayimp
        COMMAND ${CMAKE_SOURCE_DIR}/tools/make-delay-import.sh ${QUILMO_NM} ${QUILMO_DLLTOOL}
                ${QUILMO_MINGW_LIB_DIR}/lib${name}.a ${name}.dll ${output}
        DEPENDS ${CMAKE_SOURCE_DIR}/tools/make-delay-import.sh
        COMMENT "Delay-load import library for ${name}.dll")
    add_custom_target(delay_${name}_lib DEPENDS ${output})
    add_library(quilmo::delay_${name} STATIC IMPORTED GLOBAL)
    set_target_properties(quilmo::delay_${name} PROPERTIES IMPORTED_LOCATION ${output})
    add_dependencies(quilmo::delay_${name} delay_${name}_lib)
endfunction()

# The only DLLs the executable may import directly: every supported Windows
# loads them from its KnownDLLs list, never from the program's folder.
set(QUILMO_KNOWN_DLLS kernel32 ntdll user32 gdi32 advapi32 shell32 ole32 oleaut32 shlwapi comdlg32 msvcrt rpcrt4 imm32)
