# Writes the package's Debian changelog (OUT) from NEWS (NEWS), one entry a
# release: "tapsum V (YYYY-MM-DD)" or "tapsum V (YYYY-MM-DD HH:MM)"
# headings, "- " items continued by indented lines. MAINTAINER signs every
# entry. Run with cmake -P.
file(STRINGS "${NEWS}" lines)
set(text "")
set(entry "")
set(date "")
function(close_entry)
  if(entry)
    set(text "${text}${entry}\n -- ${MAINTAINER}  ${date}\n\n" PARENT_SCOPE)
  endif()
endfunction()
foreach(line IN LISTS lines)
  if(line MATCHES "^tapsum ([0-9.]+) \\(([0-9]+-[0-9]+-[0-9]+)( [0-9]+:[0-9]+)?\\)$")
    close_entry()
    set(version "${CMAKE_MATCH_1}")
    # The release's date, at midnight UTC or at the time given, in the form
    # the changelog asks for: two releases of one day need their times, as
    # each entry must be newer than the one before.
    execute_process(COMMAND date -u -d "${CMAKE_MATCH_2}${CMAKE_MATCH_3} UTC" -R
                    OUTPUT_VARIABLE date OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(entry "tapsum (${version}) unstable; urgency=medium\n\n")
  elseif(line MATCHES "^- (.*)$")
    set(entry "${entry}  * ${CMAKE_MATCH_1}\n")
  elseif(line MATCHES "^  +(.*)$")
    set(entry "${entry}    ${CMAKE_MATCH_1}\n")
  endif()
endforeach()
close_entry()
string(REGEX REPLACE "\n\n$" "\n" text "${text}")
file(WRITE "${OUT}" "${text}")
