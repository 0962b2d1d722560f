# Run by cmake --install: the launcher bin/tolvex and the menu entry
# share/applications/tolvex.desktop, for the prefix being installed to.
# TOLVEX_INSTALL_PROGRAM_DIR is the program's folder under the prefix.

set(prefix "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")

file(RELATIVE_PATH target "/p/bin" "/p/${TOLVEX_INSTALL_PROGRAM_DIR}/tolvex")
set(launcher "${prefix}/bin/tolvex")
message(STATUS "Installing: ${launcher} -> ${target}")
file(MAKE_DIRECTORY "${prefix}/bin")
file(REMOVE "${launcher}")
file(CREATE_LINK "${target}" "${launcher}" SYMBOLIC)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${launcher}")

# Exec names the launcher by its full path, quoted: inside the quotes " ` $
# and \ take a backslash, then every backslash is doubled (the string
# escape), and % is doubled (field codes).
set(exec "${CMAKE_INSTALL_PREFIX}/bin/tolvex")
string(REGEX REPLACE "([\"`$\\\\])" "\\\\\\1" exec "${exec}")
string(REPLACE "\\" "\\\\" exec "${exec}")
string(REPLACE "%" "%%" exec "${exec}")
set(TOLVEX_EXEC "\"${exec}\"")
set(entry "${prefix}/share/applications/tolvex.desktop")
message(STATUS "Installing: ${entry}")
configure_file("${CMAKE_CURRENT_LIST_DIR}/tolvex.desktop.in" "${entry}" @ONLY)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${entry}")
