# tolvex_crash_resources(<target> [SETTINGS <file>] [FORMS <text>...]
#                        [BITMAPS <png>...])
#
# After <target> is linked, tools/make_crash_resources writes the crash
# reporter's resources and objcopy adds them to the executable as non-loaded
# sections:
#   SETTINGS  the settings stream of the readable settings text <file>, as
#             .rsrc.10.TKELEXCEPT, where the crash reporter reads its
#             settings; without that section it stays dormant. A line of
#             <file> that cannot be read fails the build with
#             "<file>:<line>: ...".
#   FORMS     each assistant form's readable text as the form stream
#             .rsrc.10.TKE<NAME>, NAME being the file's name without its
#             extension in capitals (ContactForm.txt gives
#             .rsrc.10.TKECONTACTFORM), where the assistants find their forms.
#   BITMAPS   each PNG file as the 32-bit bitmap .rsrc.2.<NAME>, NAME being
#             the file's name without its extension in capitals
#             (KEIPLWAIT.png gives .rsrc.2.KEIPLWAIT).
function(tolvex_crash_resources target)
  cmake_parse_arguments(A "" "SETTINGS" "FORMS;BITMAPS" ${ARGN})
  if(NOT A_SETTINGS AND NOT A_FORMS AND NOT A_BITMAPS)
    message(FATAL_ERROR "tolvex_crash_resources(${target}): no SETTINGS, FORMS or BITMAPS given")
  endif()
  set(inputs)
  set(writes)
  set(sections)
  if(A_SETTINGS)
    get_filename_component(settings ${A_SETTINGS} ABSOLUTE)
    set(stream ${CMAKE_CURRENT_BINARY_DIR}/${target}.TKELEXCEPT)
    list(APPEND inputs ${settings})
    list(APPEND writes COMMAND tolvex_make_crash_resources settings ${settings} ${stream})
    list(APPEND sections --remove-section .rsrc.10.TKELEXCEPT
                         --add-section .rsrc.10.TKELEXCEPT=${stream})
  endif()
  foreach(text IN LISTS A_FORMS)
    get_filename_component(text ${text} ABSOLUTE)
    get_filename_component(name ${text} NAME_WE)
    string(TOUPPER ${name} name)
    set(form ${CMAKE_CURRENT_BINARY_DIR}/${target}.TKE${name})
    list(APPEND inputs ${text})
    list(APPEND writes COMMAND tolvex_make_crash_resources form ${text} ${form})
    list(APPEND sections --remove-section .rsrc.10.TKE${name}
                         --add-section .rsrc.10.TKE${name}=${form})
  endforeach()
  foreach(png IN LISTS A_BITMAPS)
    get_filename_component(png ${png} ABSOLUTE)
    get_filename_component(name ${png} NAME_WE)
    string(TOUPPER ${name} name)
    set(bitmap ${CMAKE_CURRENT_BINARY_DIR}/${target}.${name}.bitmap)
    list(APPEND inputs ${png})
    list(APPEND writes COMMAND tolvex_make_crash_resources bitmap ${png} ${bitmap})
    list(APPEND sections --remove-section .rsrc.2.${name} --add-section .rsrc.2.${name}=${bitmap})
  endforeach()
  add_dependencies(${target} tolvex_make_crash_resources)
  # A new tool or a changed input relinks the program, so that its sections
  # are written anew.
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS
               $<TARGET_FILE:tolvex_make_crash_resources> ${inputs})
  add_custom_command(TARGET ${target} POST_BUILD
    ${writes}
    COMMAND ${CMAKE_OBJCOPY} ${sections} $<TARGET_FILE:${target}>
    COMMENT "Writing the crash reporter's resources into ${target}"
    VERBATIM)
endfunction()

# tolvex_crash_settings_text(<in> <out> [MAIL <address>] [URL <url>])
#
# Configures a settings text from its template: the mail ways are on with a
# MAIL address, the upload with a URL (http:// or https://, optionally with a
# port); either left empty turns its ways off. The template sees
#   @TOLVEX_CRASH_MAIL@ @TOLVEX_CRASH_MAIL_ON@
#   @TOLVEX_CRASH_HTTP_SERVER@ @TOLVEX_CRASH_HTTP_ON@ @TOLVEX_CRASH_HTTP_SSL@
#   @TOLVEX_CRASH_HTTP_PORT@
# (the server without its port; the port from the URL, else the scheme's).
function(tolvex_crash_settings_text in out)
  cmake_parse_arguments(A "" "MAIL;URL" "" ${ARGN})
  set(TOLVEX_CRASH_MAIL "${A_MAIL}")
  set(TOLVEX_CRASH_MAIL_ON false)
  if(NOT "${A_MAIL}" STREQUAL "")
    if(NOT "${A_MAIL}" MATCHES "^[^ \t@]+@[^ \t@]+$")
      message(FATAL_ERROR "The address for bug reports is no mail address: ${A_MAIL}")
    endif()
    set(TOLVEX_CRASH_MAIL_ON true)
  endif()
  set(TOLVEX_CRASH_HTTP_SERVER "")
  set(TOLVEX_CRASH_HTTP_ON false)
  set(TOLVEX_CRASH_HTTP_SSL false)
  set(TOLVEX_CRASH_HTTP_PORT 0)
  if(NOT "${A_URL}" STREQUAL "")
    if(NOT "${A_URL}" MATCHES "^(https?)://([^/:?# \t]+)(:([0-9]+))?(/[^ \t]*)?$")
      message(FATAL_ERROR "The address for uploaded bug reports is no http:// or https:// "
                          "address: ${A_URL}")
    endif()
    set(TOLVEX_CRASH_HTTP_ON true)
    set(TOLVEX_CRASH_HTTP_SERVER "${CMAKE_MATCH_1}://${CMAKE_MATCH_2}${CMAKE_MATCH_5}")
    if(CMAKE_MATCH_1 STREQUAL "https")
      set(TOLVEX_CRASH_HTTP_SSL true)
      set(TOLVEX_CRASH_HTTP_PORT 443)
    else()
      set(TOLVEX_CRASH_HTTP_PORT 80)
    endif()
    if(NOT "${CMAKE_MATCH_4}" STREQUAL "")
      set(TOLVEX_CRASH_HTTP_PORT ${CMAKE_MATCH_4})
    endif()
  endif()
  configure_file(${in} ${out} @ONLY)
endfunction()
