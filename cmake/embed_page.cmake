# Writes the host's page code into a C++ header as one raw string:
#   cmake -DOUTPUT=<header> -DNAME=<constant> -DINPUTS=<a.js;b.js;...> -P embed_page.cmake
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

# Left alone when unchanged, so that nothing rebuilds for nothing.
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
  if(old STREQUAL header)
    return()
  endif()
endif()
file(WRITE "${OUTPUT}" "${header}")
