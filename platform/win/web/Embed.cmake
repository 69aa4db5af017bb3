# Writes OUTPUT, a C++ file that holds the web page's files as strings:
#   cmake -DOUTPUT=<file.cpp> -DASSETS="<name>=<file>|..." -P Embed.cmake
# Each <name> becomes `extern const std::string_view tarvex::web::<name>`.
if(NOT OUTPUT OR NOT ASSETS)
  message(FATAL_ERROR "Embed.cmake: OUTPUT and ASSETS are needed")
endif()

string(REPLACE "|" ";" ASSETS "${ASSETS}")
set(delimiter "tarvex_web_asset")
set(text "// Made by platform/win/web/Embed.cmake from the page's files: edit those.\n")
string(APPEND text "#include <string_view>\n\nnamespace tarvex::web {\n")
foreach(asset ${ASSETS})
  string(REPLACE "=" ";" parts "${asset}")
  list(GET parts 0 name)
  list(GET parts 1 file)
  file(READ "${file}" content)
  string(FIND "${content}" ")${delimiter}\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "Embed.cmake: ${file} holds the text that ends the string")
  endif()
  string(APPEND text "\nextern const std::string_view ${name} = R\"${delimiter}(${content})${delimiter}\";\n")
endforeach()
string(APPEND text "\n}  // namespace tarvex::web\n")

# Rewritten only when it changed, so nothing is rebuilt for nothing.
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
  if(old STREQUAL text)
    return()
  endif()
endif()
file(WRITE "${OUTPUT}.tmp" "${text}")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
