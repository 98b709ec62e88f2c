# cmake -DSOURCE_DIR=... -DVERSION=... -DRELEASE_DATE=... -P ReleaseNotesTest.cmake
# The newest release in CHANGELOG.md and in the AppStream metadata is the
# version CMake builds, on the date the Debian changelog is given.

file(STRINGS ${SOURCE_DIR}/CHANGELOG.md headings REGEX "^## " ENCODING UTF-8)
list(GET headings 0 newest)
if(NOT newest STREQUAL "## ${VERSION} – ${RELEASE_DATE}")
    message(SEND_ERROR "CHANGELOG.md starts with \"${newest}\", "
                       "expected \"## ${VERSION} – ${RELEASE_DATE}\"")
endif()

file(GLOB metainfo ${SOURCE_DIR}/packaging/*.metainfo.xml)
if(metainfo)
    file(READ ${metainfo} text)
    string(REGEX MATCH "<release [^>]*>" newest "${text}")
    if(NOT newest MATCHES "version=\"${VERSION}\"" OR NOT newest MATCHES "date=\"${RELEASE_DATE}\"")
        message(SEND_ERROR "${metainfo}: the newest release is ${newest}, "
                           "expected version ${VERSION} of ${RELEASE_DATE}")
    endif()
endif()
