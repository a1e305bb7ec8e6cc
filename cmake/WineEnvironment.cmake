# Programs built here run through Wine: a wrapper selects the build tree's own
# prefixes (win64 by default, win32 with QUILMO_WINE_ARCH=win32), boots them
# on first use with their output detached, and runs the program.
set(QUILMO_WINE_ROOT ${CMAKE_BINARY_DIR}/wine CACHE PATH "Folder of the build's Wine prefixes and display")
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
