# tolvex_map_data(<target>)
#
# After <target> is linked, tools/make_map_data reads the DWARF of the build
# and writes it, packed, into the executable's own non-loaded section
# .rsrc.KEL.EXCEPT: the crash library's names and lines at crash time.
function(tolvex_map_data target)
  add_dependencies(${target} tolvex_make_map_data)
  # A new tool relinks the program, so that its map data is written anew.
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS $<TARGET_FILE:tolvex_make_map_data>)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND tolvex_make_map_data ${CMAKE_OBJCOPY} $<TARGET_FILE:${target}>
    COMMENT "Writing the map data of ${target}"
    VERBATIM)
endfunction()
