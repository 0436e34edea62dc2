// Writes 24-bit RGB pictures as PNG files, for the screenshots the GUI tests
// save. The image data is compressed with fixed Huffman codes and runs of
// equal bytes, which keeps flat window areas small.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zalvo::testing {

// rgb holds width * height pixels, top row first, three bytes each.
std::string EncodePng(int width, int height, const std::vector<uint8_t>& rgb);

}  // namespace zalvo::testing
