# Writes a C++ source holding a stub's bytes: cmake -DINPUT=file -DOUTPUT=x.cpp
# -DSYMBOL=name -P embed_stub.cmake. An empty INPUT records that this stub was
# not built, so mksfx can say so.
if(INPUT AND EXISTS "${INPUT}")
  file(READ "${INPUT}" hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x..,){24})" "\\1\n" bytes "${bytes}")
else()
  set(size 0)
  set(bytes "0")
endif()
file(WRITE "${OUTPUT}.tmp" "// Generated from ${INPUT} by embed_stub.cmake.\n#include <cstddef>\n"
  "extern const unsigned char ${SYMBOL}_bytes[] = {\n${bytes}\n};\n"
  "extern const std::size_t ${SYMBOL}_size = ${size};\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
