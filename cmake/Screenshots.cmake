# tavrin-screenshots: starts the simulator and the real main window in one
# process and saves pictures of the main window, the Setup dialog and the
# About box for the user guide (scripts/screenshots). Built with everything
# else so that it never falls behind the windows it pictures; never installed.
option(TAVRIN_BUILD_SCREENSHOTS "Build the user guide's screenshot tool" ON)
if(TAVRIN_BUILD_SCREENSHOTS AND TARGET tavrin_simlib)
    add_executable(tavrin-screenshots tools/screenshots.cpp)
    target_link_libraries(tavrin-screenshots PRIVATE tavrin_core tavrin_simlib)
endif()
