// The built-in bitmap font: 256 glyphs of 4 x 6 pixels, one for every byte value.
#pragma once

#include <array>

// One glyph: 6 pixel rows from top to bottom, 4 pixels each from left to right;
// 0xFF is ink, 0x00 is blank.
using vozk_glyph = std::array<unsigned char, 24>;

// Indexed by the byte value read as unsigned; 6144 bytes of constant data.
extern const std::array<vozk_glyph, 256> vozk;
