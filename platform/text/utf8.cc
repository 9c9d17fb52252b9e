#include "platform/text/utf8.h"

namespace text {

int utf8SequenceAt(std::string_view bytes) {
  auto b = static_cast<unsigned char>(bytes[0]);
  if (b < 0x80) return 1;
  int need;
  unsigned char low = 0x80, high = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    need = 1;
  } else if (b >= 0xE0 && b <= 0xEF) {
    need = 2;
    if (b == 0xE0) low = 0xA0;   // below: overlong
    if (b == 0xED) high = 0x9F;  // above: surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    need = 3;
    if (b == 0xF0) low = 0x90;   // below: overlong
    if (b == 0xF4) high = 0x8F;  // above: past U+10FFFF
  } else {
    return -1;
  }
  int length = 1;
  for (; length <= need && static_cast<std::size_t>(length) < bytes.size(); ++length) {
    auto next = static_cast<unsigned char>(bytes[static_cast<std::size_t>(length)]);
    if (next < low || next > high) break;
    low = 0x80;
    high = 0xBF;
  }
  return length == need + 1 ? length : -length;
}

char32_t utf8Character(std::string_view sequence) {
  auto lead = static_cast<unsigned char>(sequence[0]);
  if (sequence.size() == 1) return lead;
  // The lead byte keeps 7 - length bits of the character, each later byte 6.
  char32_t c = lead & (0x7F >> sequence.size());
  for (std::size_t i = 1; i < sequence.size(); ++i) {
    c = (c << 6) | (static_cast<unsigned char>(sequence[i]) & 0x3F);
  }
  return c;
}

bool isUtf8(std::string_view text) {
  while (!text.empty()) {
    int length = utf8SequenceAt(text);
    if (length < 0) return false;
    text.remove_prefix(static_cast<std::size_t>(length));
  }
  return true;
}

}  // namespace text
