# The program's toolchain for Windows: mingw-w64's, with the Qt for Windows
# that scripts/windows built (TAVRIN_QT_PREFIX in the environment) as a place
# to find packages in. The Qt build itself uses toolchain-mingw-w64.cmake
# alone.
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-w64.cmake)
if(DEFINED ENV{TAVRIN_QT_PREFIX})
    list(PREPEND CMAKE_FIND_ROOT_PATH $ENV{TAVRIN_QT_PREFIX})
endif()
