#include "tests/win32/png_writer.h"

#include <array>

namespace zalvo::testing {
namespace {

uint32_t Crc32(const std::string& bytes, size_t from) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = from; i < bytes.size(); ++i) {
    crc ^= static_cast<uint8_t>(bytes[i]);
    for (int k = 0; k < 8; ++k) {
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
  }
  return ~crc;
}

void PutBigEndian(std::string& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) {
    out += static_cast<char>((value >> shift) & 0xFF);
  }
}

void PutChunk(std::string& out, const char* type, const std::string& data) {
  PutBigEndian(out, static_cast<uint32_t>(data.size()));
  std::string body = std::string(type, 4) + data;
  out += body;
  PutBigEndian(out, Crc32(body, 0));
}

// The bits of a deflate stream, least significant first.
class BitWriter {
 public:
  void Bits(uint32_t value, int count) {
    for (int i = 0; i < count; ++i) {
      Bit((value >> i) & 1u);
    }
  }
  // Huffman codes go most significant bit first.
  void Code(uint32_t code, int length) {
    for (int i = length - 1; i >= 0; --i) {
      Bit((code >> i) & 1u);
    }
  }
  std::string Finish() {
    if (used_ > 0) {
      out_ += static_cast<char>(current_);
    }
    return out_;
  }

 private:
  void Bit(uint32_t bit) {
    current_ |= static_cast<uint8_t>(bit << used_);
    if (++used_ == 8) {
      out_ += static_cast<char>(current_);
      current_ = 0;
      used_ = 0;
    }
  }
  std::string out_;
  uint8_t current_ = 0;
  int used_ = 0;
};

// The fixed literal/length code of deflate.
void Symbol(BitWriter& w, int symbol) {
  if (symbol < 144) {
    w.Code(0x30 + symbol, 8);
  } else if (symbol < 256) {
    w.Code(0x190 + symbol - 144, 9);
  } else if (symbol < 280) {
    w.Code(symbol - 256, 7);
  } else {
    w.Code(0xC0 + symbol - 280, 8);
  }
}

constexpr std::array<int, 29> kLengthBase = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                             15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                             67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<int, 29> kLengthExtra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                              2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};

// A repeat of the previous byte, length 3 to 258, distance 1.
void Repeat(BitWriter& w, int length) {
  size_t code = kLengthBase.size() - 1;
  while (kLengthBase[code] > length) {
    --code;
  }
  Symbol(w, 257 + static_cast<int>(code));
  w.Bits(static_cast<uint32_t>(length - kLengthBase[code]), kLengthExtra[code]);
  w.Code(0, 5);  // distance code 0: distance 1
}

std::string Zlib(const std::vector<uint8_t>& data) {
  BitWriter w;
  w.Bits(1, 1);  // the final block
  w.Bits(1, 2);  // fixed Huffman codes
  size_t i = 0;
  while (i < data.size()) {
    Symbol(w, data[i]);
    size_t run = 0;
    while (i + 1 + run < data.size() && run < 258 && data[i + 1 + run] == data[i]) {
      ++run;
    }
    if (run >= 3) {
      Repeat(w, static_cast<int>(run));
      i += 1 + run;
    } else {
      ++i;
    }
  }
  Symbol(w, 256);
  uint32_t a = 1, b = 0;
  for (uint8_t byte : data) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  std::string out = "\x78\x01";
  out += w.Finish();
  PutBigEndian(out, (b << 16) | a);
  return out;
}

}  // namespace

std::string EncodePng(int width, int height, const std::vector<uint8_t>& rgb) {
  // Every row with the "Sub" filter: each byte less the same colour byte of
  // the pixel to its left, so flat areas and smooth gradients repeat.
  const size_t stride = static_cast<size_t>(width) * 3;
  std::vector<uint8_t> filtered;
  filtered.reserve((stride + 1) * static_cast<size_t>(height));
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = rgb.data() + stride * static_cast<size_t>(y);
    filtered.push_back(1);
    for (size_t x = 0; x < stride; ++x) {
      filtered.push_back(static_cast<uint8_t>(row[x] - (x >= 3 ? row[x - 3] : 0)));
    }
  }
  std::string png = "\x89PNG\r\n\x1a\n";
  std::string header;
  PutBigEndian(header, static_cast<uint32_t>(width));
  PutBigEndian(header, static_cast<uint32_t>(height));
  header += std::string("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB
  PutChunk(png, "IHDR", header);
  PutChunk(png, "IDAT", Zlib(filtered));
  PutChunk(png, "IEND", "");
  return png;
}

}  // namespace zalvo::testing
