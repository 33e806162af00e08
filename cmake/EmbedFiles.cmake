# Compiles files into a C++ source: cmake -DINPUT_DIR=<dir> -DNAMES="a;b" -DOUTPUT=<file.cpp>
# -DFUNCTION=<name> -P EmbedFiles.cmake writes `std::string_view korvanth::<name>(std::string_view)`,
# which gives the bytes of the file of that name, or nothing for another name.
set(body "")
set(lookup "")
set(index 0)
foreach(name IN LISTS NAMES)
  file(READ "${INPUT_DIR}/${name}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  # One line per 24 bytes keeps the source readable for a compiler's diagnostics.
  string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){24})" "\\1\n" bytes "${bytes}")
  string(APPEND body "const char file${index}[] = {\n${bytes}'\\0'};\n")
  string(APPEND lookup "    if (name == \"${name}\") return {file${index}, ${size}};\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.tmp" "// Made by cmake/EmbedFiles.cmake from ${INPUT_DIR}; not to be edited.\n#include <string_view>\n\nnamespace korvanth {\n\nnamespace {\n${body}}  // namespace\n\nstd::string_view ${FUNCTION}(std::string_view name) {\n${lookup}    return {};\n}\n\n}  // namespace korvanth\n")
configure_file("${OUTPUT}.tmp" "${OUTPUT}" COPYONLY)
file(REMOVE "${OUTPUT}.tmp")
