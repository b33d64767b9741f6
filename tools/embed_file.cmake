# Turns a binary file into a C++ source defining `orlith::<NAME>()`, which returns its bytes:
#   cmake -DINPUT=file -DOUTPUT=file.cpp -DNAME=embeddedWallPng [-DHEADER=maze/maze.h]
#         [-DTYPE=std::span<const uint8_t>] -P embed_file.cmake
# HEADER declares the function and TYPE is its result, any type built from {pointer, size};
# by default the renderer's EmbeddedBytes from render/render.h.
if(NOT DEFINED HEADER)
  set(HEADER "render/render.h")
endif()
if(NOT DEFINED TYPE)
  set(TYPE "EmbeddedBytes")
endif()
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" length)
math(EXPR size "${length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp" "// Generated from ${INPUT}; do not edit.\n#include \"${HEADER}\"\nnamespace orlith {\nnamespace {\nconst uint8_t kBytes[${size}] = {\n${bytes}};\n}\n${TYPE} ${NAME}() { return {kBytes, sizeof kBytes}; }\n}  // namespace orlith\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
