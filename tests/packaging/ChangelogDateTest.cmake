# cmake -P ChangelogDateTest.cmake
# The Debian changelog's date line, from a release date and from
# SOURCE_DATE_EPOCH. The expected lines are those of `date -u -R`.
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/ChangelogDate.cmake)

function(expect release_date expected)
    tavrin_changelog_date(got ${release_date})
    if(NOT got STREQUAL expected)
        message(SEND_ERROR "${release_date} (SOURCE_DATE_EPOCH=$ENV{SOURCE_DATE_EPOCH}): "
                           "got \"${got}\", expected \"${expected}\"")
    endif()
endfunction()

unset(ENV{SOURCE_DATE_EPOCH})
# Leap days and century years, which the day count must get right, and days
# and months with a leading 0 that must not be read as octal.
expect(1970-01-01 "Thu, 01 Jan 1970 00:00:00 +0000")
expect(1900-03-01 "Thu, 01 Mar 1900 00:00:00 +0000")
expect(2000-02-29 "Tue, 29 Feb 2000 00:00:00 +0000")
expect(2000-03-01 "Wed, 01 Mar 2000 00:00:00 +0000")
expect(2100-02-28 "Sun, 28 Feb 2100 00:00:00 +0000")
expect(2023-09-09 "Sat, 09 Sep 2023 00:00:00 +0000")
expect(2024-01-08 "Mon, 08 Jan 2024 00:00:00 +0000")
expect(2026-12-07 "Mon, 07 Dec 2026 00:00:00 +0000")

# A set SOURCE_DATE_EPOCH wins over the release date, to the second.
set(ENV{SOURCE_DATE_EPOCH} 951786061)
expect(2026-12-07 "Tue, 29 Feb 2000 01:01:01 +0000")
set(ENV{SOURCE_DATE_EPOCH} 1796601599)
expect(2026-12-07 "Sun, 06 Dec 2026 23:59:59 +0000")
