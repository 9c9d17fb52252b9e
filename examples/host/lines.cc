#include "examples/host/lines.h"

#include <cstdint>

namespace host {

std::vector<std::string> LineSplitter::push(std::string_view bytes) {
  std::vector<std::string> lines;
  for (;;) {
    size_t end = bytes.find('\n');
    if (end == std::string_view::npos) break;
    partial_.append(bytes.substr(0, end));
    lines.push_back(std::move(partial_));
    partial_.clear();
    bytes.remove_prefix(end + 1);
  }
  partial_.append(bytes);
  return lines;
}

std::optional<std::string> LineSplitter::finish() {
  if (partial_.empty()) return std::nullopt;
  std::string rest = std::move(partial_);
  partial_.clear();
  return rest;
}

namespace {

// A cursor over one line; every parse step either advances it or reports failure.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}

  bool atEnd() const { return text_.empty(); }

  void skipSpace() {
    while (!text_.empty() && (text_[0] == ' ' || text_[0] == '\t' || text_[0] == '\r')) {
      text_.remove_prefix(1);
    }
  }

  bool take(char c) {
    skipSpace();
    if (text_.empty() || text_[0] != c) return false;
    text_.remove_prefix(1);
    return true;
  }

  std::optional<std::string> string() {
    if (!take('"')) return std::nullopt;
    std::string out;
    while (!text_.empty()) {
      char c = text_[0];
      text_.remove_prefix(1);
      if (c == '"') return out;
      // Raw control characters are not allowed inside a JSON string; the writer escapes them.
      if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (text_.empty()) return std::nullopt;
      char e = text_[0];
      text_.remove_prefix(1);
      switch (e) {
        case '"':
          out.push_back('"');
          break;
        case '\\':
          out.push_back('\\');
          break;
        case '/':
          out.push_back('/');
          break;
        case 'b':
          out.push_back('\b');
          break;
        case 'f':
          out.push_back('\f');
          break;
        case 'n':
          out.push_back('\n');
          break;
        case 'r':
          out.push_back('\r');
          break;
        case 't':
          out.push_back('\t');
          break;
        case 'u': {
          std::optional<uint32_t> code = unicodeEscape();
          if (!code) return std::nullopt;
          appendUtf8(*code, out);
          break;
        }
        default:
          return std::nullopt;
      }
    }
    return std::nullopt;  // the line ended inside the string
  }

 private:
  std::optional<uint32_t> hex4() {
    if (text_.size() < 4) return std::nullopt;
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      char c = text_[i];
      value <<= 4;
      if (c >= '0' && c <= '9') {
        value |= c - '0';
      } else if (c >= 'a' && c <= 'f') {
        value |= c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        value |= c - 'A' + 10;
      } else {
        return std::nullopt;
      }
    }
    text_.remove_prefix(4);
    return value;
  }

  // After "\u": one code unit, or a surrogate pair written as two escapes. A lone surrogate has
  // no UTF-8 form, so the line is refused rather than mangled.
  std::optional<uint32_t> unicodeEscape() {
    std::optional<uint32_t> high = hex4();
    if (!high) return std::nullopt;
    if (*high >= 0xDC00 && *high <= 0xDFFF) return std::nullopt;
    if (*high < 0xD800 || *high > 0xDBFF) return high;
    if (text_.size() < 2 || text_[0] != '\\' || text_[1] != 'u') return std::nullopt;
    text_.remove_prefix(2);
    std::optional<uint32_t> low = hex4();
    if (!low || *low < 0xDC00 || *low > 0xDFFF) return std::nullopt;
    return 0x10000 + ((*high - 0xD800) << 10) + (*low - 0xDC00);
  }

  static void appendUtf8(uint32_t code, std::string& out) {
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (code >> 12)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (code >> 18)));
      out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }

  std::string_view text_;
};

}  // namespace

std::optional<std::string> transcriptText(std::string_view line) {
  Cursor cursor(line);
  if (!cursor.take('{')) return std::nullopt;
  std::optional<std::string> key = cursor.string();
  if (!key || *key != "text" || !cursor.take(':')) return std::nullopt;
  std::optional<std::string> text = cursor.string();
  if (!text || !cursor.take('}')) return std::nullopt;
  cursor.skipSpace();
  if (!cursor.atEnd()) return std::nullopt;
  return text;
}

}  // namespace host
