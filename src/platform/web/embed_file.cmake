# Writes OUTPUT, a C++ file defining NAME (a byte array) and NAME_size with the bytes of INPUT.
file(READ ${INPUT} hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE ${OUTPUT} "// Made from ${INPUT} at build time.\n#include <cstddef>\n"
                     "extern const unsigned char ${NAME}[] = {${bytes}};\n"
                     "extern const std::size_t ${NAME}_size = sizeof ${NAME};\n")
