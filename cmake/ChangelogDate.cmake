# The date line of a Debian changelog entry, e.g. "Mon, 07 Dec 2026 00:00:00 +0000".
#
# Builds must not depend on when they run, so the date is the release date kept
# in the repository (YYYY-MM-DD, midnight UTC), unless SOURCE_DATE_EPOCH is set:
# then that moment, as reproducible-builds.org asks. Day and month names are
# spelled out here, since a changelog wants the English ones whatever the locale.

set(TAVRIN_WEEKDAY_NAMES Sun Mon Tue Wed Thu Fri Sat)
set(TAVRIN_MONTH_NAMES Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)

# Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's
# days_from_civil), for the weekday of a date that has no epoch.
function(tavrin_days_from_civil out year month day)
    if(month LESS_EQUAL 2)
        math(EXPR year "${year} - 1")
        math(EXPR month_from_march "${month} + 9")
    else()
        math(EXPR month_from_march "${month} - 3")
    endif()
    math(EXPR era "${year} / 400")
    math(EXPR year_of_era "${year} - ${era} * 400")
    math(EXPR day_of_year "(153 * ${month_from_march} + 2) / 5 + ${day} - 1")
    math(EXPR day_of_era
         "${year_of_era} * 365 + ${year_of_era} / 4 - ${year_of_era} / 100 + ${day_of_year}")
    math(EXPR days "${era} * 146097 + ${day_of_era} - 719468")
    set(${out} ${days} PARENT_SCOPE)
endfunction()

function(tavrin_changelog_date out release_date)
    if(DEFINED ENV{SOURCE_DATE_EPOCH})
        # string(TIMESTAMP) reads SOURCE_DATE_EPOCH itself.
        string(TIMESTAMP stamp "%w;%d;%m;%Y;%H:%M:%S" UTC)
        list(GET stamp 0 weekday)
        list(GET stamp 1 day)
        list(GET stamp 2 month)
        list(GET stamp 3 year)
        list(GET stamp 4 time)
    else()
        if(NOT release_date MATCHES "^([0-9][0-9][0-9][0-9])-([01][0-9])-([0-3][0-9])$")
            message(FATAL_ERROR "Release date \"${release_date}\" is not YYYY-MM-DD")
        endif()
        set(year ${CMAKE_MATCH_1})
        set(month ${CMAKE_MATCH_2})
        set(day ${CMAKE_MATCH_3})
        # Without the leading zero, so that "08" is not read as octal.
        math(EXPR month_number "1${month} - 100")
        math(EXPR day_number "1${day} - 100")
        tavrin_days_from_civil(days ${year} ${month_number} ${day_number})
        math(EXPR weekday "(${days} + 4) % 7")  # 1970-01-01 was a Thursday
        set(time "00:00:00")
    endif()
    math(EXPR month_index "1${month} - 101")
    list(GET TAVRIN_WEEKDAY_NAMES ${weekday} weekday_name)
    list(GET TAVRIN_MONTH_NAMES ${month_index} month_name)
    set(${out} "${weekday_name}, ${day} ${month_name} ${year} ${time} +0000" PARENT_SCOPE)
endfunction()
