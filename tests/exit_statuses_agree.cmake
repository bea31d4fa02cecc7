# Checks that `korendezo --help`, the man page and the README say the same
# of each exit status, word for word:
#   cmake -DBINARY=path/to/korendezo -DSOURCE=top/of/source -P exit_statuses_agree.cmake
# Each source gives one line "N text" per status: the usage's continuation
# lines and the man page's lines of one entry are joined with a space.

# The usage: "  N  text" after "Exit status:", continued by indented lines,
# up to the first empty line.
execute_process(COMMAND "${BINARY}" --help OUTPUT_VARIABLE usage
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "korendezo --help ended with ${status}")
endif()
string(REGEX MATCH "\nExit status:\n([^\n]+\n)+" section "${usage}")
string(REGEX REPLACE "^\nExit status:\n" "" section "${section}")
string(REGEX REPLACE "\n +([^ 0-9])" " \\1" section "${section}")
string(REGEX REPLACE "(^|\n)  ([0-9])  " "\\1\\2 " section "${section}")
string(STRIP "${section}" from_usage)

# The man page: ".TP", ".B N" and the text up to the next request, under
# .SH EXIT STATUS.
file(READ "${SOURCE}/doc/korendezo.1" man)
string(REGEX MATCH "\n\\.SH EXIT STATUS\n[^\n]*(\n[^.][^\n]*|\n\\.[TB][P ][^\n]*)*"
       section "${man}")
string(REGEX REPLACE "^\n\\.SH EXIT STATUS\n" "" section "${section}")
string(REGEX REPLACE "\n([^.])" " \\1" section "${section}")
string(REGEX REPLACE "\\.TP\n?" "" section "${section}")
string(REGEX REPLACE "\\.B ([0-9])" "\\1" section "${section}")
string(STRIP "${section}" from_man)

# The README: "- `N` text" lines.
file(READ "${SOURCE}/README.md" readme)
string(REGEX MATCHALL "\n- `[0-9]` [^\n]*" lines "${readme}")
string(REPLACE ";\n- " "\n- " from_readme "${lines}")
string(REGEX REPLACE "\n- `([0-9])` " "\n\\1 " from_readme "${from_readme}")
string(STRIP "${from_readme}" from_readme)

foreach(source usage man readme)
  string(REGEX REPLACE "(^|\n)([0-9]) [^\n]*" "\\2" numbers "${from_${source}}")
  if(NOT numbers STREQUAL "0123")
    message(FATAL_ERROR "the ${source} does not list the exit statuses 0 to 3 "
            "one by one:\n${from_${source}}")
  endif()
endforeach()
foreach(source man readme)
  if(NOT from_${source} STREQUAL from_usage)
    message(FATAL_ERROR "the ${source} words the exit statuses\n"
            "${from_${source}}\nbut korendezo --help\n${from_usage}")
  endif()
endforeach()
message(STATUS "korendezo --help, the man page and the README agree:\n${from_usage}")
