# Writes a C++ source that holds the bytes of INPUT as zel_image_data and
# their count as zel_image_size. Run as: cmake -DINPUT=... -DOUTPUT=... -P embed.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n" bytes "${bytes}")
if(size EQUAL 0)
  set(bytes "0,")  # an array cannot be empty; the size still says 0
endif()
file(WRITE "${OUTPUT}" "// Generated from ${INPUT}; do not edit.\n#include <cstdint>\n"
  "extern const uint8_t zel_image_data[] = {\n${bytes}\n};\n"
  "extern const uint32_t zel_image_size = ${size};\n")
