# Writes host page code into a C++ header as one raw string constant, and the
# same text into a JavaScript file beside it, which the page code's unit
# tests load:
#   cmake -DOUTPUT=<header> -DSCRIPT=<file.js> -DNAME=<constant> -DINPUTS=<a.js;b.js;...>
#         -P embed_page.cmake
# The files are joined in the order given and run as one script in the page.

set(delimiter "tessik_js")
set(text "")
foreach(input IN LISTS INPUTS)
  file(READ "${input}" content)
  string(FIND "${content}" ")${delimiter}\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${input} holds )${delimiter}\", which would end the raw string")
  endif()
  get_filename_component(name "${input}" NAME)
  string(APPEND text "// ${name}\n${content}\n")
endforeach()

set(header "// Made by cmake/embed_page.cmake from src/host/page/; edit those files instead.\n")
string(APPEND header "#pragma once\n#include <string_view>\n\n")
string(APPEND header "inline constexpr std::string_view ${NAME} = R\"${delimiter}(${text})${delimiter}\";\n")

# Each is left alone when unchanged, so that nothing rebuilds for nothing.
function(write_if_changed path content)
  if(EXISTS "${path}")
    file(READ "${path}" old)
    if(old STREQUAL content)
      return()
    endif()
  endif()
  file(WRITE "${path}" "${content}")
endfunction()
write_if_changed("${OUTPUT}" "${header}")
write_if_changed("${SCRIPT}" "${text}")
