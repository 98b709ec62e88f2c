# Writes the CTest entries of one test executable, one per TAVRIN_TEST(Class)
# line in its sources: run at build time, whenever a source changes, so that
# a class added to a test file is picked up without a new configure.
#
#   cmake -DCONFIG=<file> -DOUTPUT=<file> -P ListSuites.cmake
#
# CONFIG sets SUBSYSTEM, COMMAND (the executable, behind an emulator when
# there is one), ARGUMENTS (after the class's --suite), ENVIRONMENT, TIMEOUT,
# SOURCES, and WRAPPER, a command the classes in WRAPPED run behind.
cmake_minimum_required(VERSION 3.22)
include(${CONFIG})
set(entries "")
foreach(source ${SOURCES})
    file(STRINGS ${source} registrations REGEX "^TAVRIN_TEST\\(")
    foreach(registration ${registrations})
        string(REGEX REPLACE "^TAVRIN_TEST\\(([A-Za-z0-9_]+)\\).*" "\\1" class "${registration}")
        set(name "${SUBSYSTEM}.${class}")
        set(command "")
        set(run ${COMMAND})
        if(class IN_LIST WRAPPED)
            set(run ${WRAPPER} ${COMMAND})
        endif()
        foreach(word ${run} --suite ${class} ${ARGUMENTS})
            string(APPEND command " [==[${word}]==]")
        endforeach()
        string(APPEND entries "add_test([==[${name}]==]${command})\n"
               "set_tests_properties([==[${name}]==] PROPERTIES ENVIRONMENT [==[${ENVIRONMENT}]==] "
               "TIMEOUT ${TIMEOUT})\n")
    endforeach()
endforeach()
# Only a change reaches the file: CTest reads it, nothing rebuilds from it.
set(old "")
if(EXISTS ${OUTPUT})
    file(READ ${OUTPUT} old)
endif()
if(NOT old STREQUAL entries)
    file(WRITE ${OUTPUT} "${entries}")
endif()
