// libFuzzer target for the transcript line writer: whatever the text, the line is one JSON
// object with the one key "text", whose value is the text without the spaces at its ends.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "dictate/output.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

// Decodes the JSON string starting after the opening quote at `pos`; advances past the closing
// quote. Aborts on anything JSON does not allow.
std::string parseString(const std::string& s, std::size_t& pos) {
  std::string value;
  for (;;) {
    check(pos < s.size());
    unsigned char c = s[pos++];
    if (c == '"') return value;
    check(c >= 0x20);
    if (c != '\\') {
      value += static_cast<char>(c);
      continue;
    }
    check(pos < s.size());
    char e = s[pos++];
    switch (e) {
      case '"': value += '"'; break;
      case '\\': value += '\\'; break;
      case '/': value += '/'; break;
      case 'b': value += '\b'; break;
      case 'f': value += '\f'; break;
      case 'n': value += '\n'; break;
      case 'r': value += '\r'; break;
      case 't': value += '\t'; break;
      case 'u': {
        check(pos + 4 <= s.size());
        unsigned code = std::stoul(s.substr(pos, 4), nullptr, 16);
        check(code < 0x20);  // the writer escapes only control characters this way
        value += static_cast<char>(code);
        pos += 4;
        break;
      }
      default: check(false);
    }
  }
}

bool isSpaceAtEnd(const std::string& s, std::size_t pos, std::size_t& length) {
  static const char* kSpaces[] = {" ",      "\t",     "\u00a0", "\u1680", "\u2000", "\u2001",
                                  "\u2002", "\u2003", "\u2004", "\u2005", "\u2006", "\u2007",
                                  "\u2008", "\u2009", "\u200a", "\u202f", "\u205f", "\u3000"};
  for (const char* sp : kSpaces) {
    std::string space(sp);
    if (s.compare(pos, space.size(), space) == 0) {
      length = space.size();
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::string line = dictate::transcriptLine(text);

  const std::string head = "{\"text\":\"";
  check(line.compare(0, head.size(), head) == 0);
  check(line.size() >= head.size() + 3 && line.compare(line.size() - 3, 3, "\"}\n") == 0);
  check(line.find('\n') == line.size() - 1);
  std::size_t pos = head.size();
  std::string value = parseString(line, pos);
  check(pos == line.size() - 2);

  // For valid UTF-8 input the value is the text itself with only spaces removed at its ends.
  // (Invalid input is repaired; the checks above still hold for it.)
  std::size_t at = text.find(value);
  if (value.find("\xef\xbf\xbd") == std::string::npos) {
    check(at != std::string::npos);
    std::size_t length;
    for (std::size_t i = 0; i < at; i += length) check(isSpaceAtEnd(text, i, length));
    for (std::size_t i = at + value.size(); i < text.size(); i += length) {
      check(isSpaceAtEnd(text, i, length));
    }
    check(value.empty() || !isSpaceAtEnd(value, 0, length));
  }
  return 0;
}
