# Turns a binary file into a C++ source defining `orlith::<NAME>()` that returns its bytes:
#   cmake -DINPUT=file -DOUTPUT=file.cpp -DNAME=embeddedWallPng -P embed_file.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" length)
math(EXPR size "${length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp" "// Generated from ${INPUT}; do not edit.\n#include \"render/render.h\"\nnamespace orlith {\nnamespace {\nconst uint8_t kBytes[${size}] = {\n${bytes}};\n}\nEmbeddedBytes ${NAME}() { return {kBytes, sizeof kBytes}; }\n}  // namespace orlith\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
