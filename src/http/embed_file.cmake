# Writes a C++ source defining `const std::string_view corvane::${SYMBOL}` with
# the bytes of INPUT: cmake -DINPUT=f -DOUTPUT=f.cpp -DSYMBOL=name -DHEADER=h -P embed_file.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){20})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp" "// Generated from ${INPUT}; edit that file.
#include \"${HEADER}\"

namespace corvane {
namespace {
const unsigned char kBytes[] = {
${bytes}0};
} // namespace
const std::string_view ${SYMBOL}(reinterpret_cast<const char*>(kBytes), ${size});
} // namespace corvane
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
