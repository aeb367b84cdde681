# Writes a C++ header holding a file's bytes as a char array, so the daemon
# carries the file and needs nothing from disk at run time.
#   cmake -DINPUT=page.html -DOUTPUT=page.h -DNAME=PAGE -P embed_file.cmake
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
# Lines of 16 bytes keep the generated file readable in a debugger.
string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){16})" "\\1\n    " bytes "${bytes}")
file(WRITE ${OUTPUT}
     "// Generated from ${INPUT} by cmake/embed_file.cmake; do not edit.\n"
     "#pragma once\n#include <cstddef>\n"
     "inline constexpr char ${NAME}[] = {\n    ${bytes}'\\0'};\n"
     "inline constexpr std::size_t ${NAME}_SIZE = ${size};\n")
