# Run by `cmake --install` before any file goes in place: adds the folders
# the install is about to make to KORENDEZO_FOLDERS_LIST (one a line,
# deepest first), so that undoing it (README.md) removes those folders and
# no other. A package's install into its staging folder (DESTDIR) is left
# out.
if(NOT "$ENV{DESTDIR}" STREQUAL "")
  return()
endif()
set(made "")
if(EXISTS "${KORENDEZO_FOLDERS_LIST}")
  file(STRINGS "${KORENDEZO_FOLDERS_LIST}" made)
endif()
foreach(dir IN LISTS KORENDEZO_FOLDERS)
  get_filename_component(path "${dir}" ABSOLUTE BASE_DIR "${CMAKE_INSTALL_PREFIX}")
  while(NOT EXISTS "${path}")
    list(APPEND made "${path}")
    get_filename_component(path "${path}" DIRECTORY)
  endwhile()
endforeach()
list(REMOVE_DUPLICATES made)
list(SORT made ORDER DESCENDING)
string(REPLACE ";" "\n" made "${made}")
if(made)
  set(made "${made}\n")
endif()
file(WRITE "${KORENDEZO_FOLDERS_LIST}" "${made}")
