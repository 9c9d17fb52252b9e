#include "dictate/output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/text/utf8.h"

namespace dictate {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at `pos`, advancing it; each byte of an ill-formed one becomes
// U+FFFD on its own, so nothing after it is lost.
char32_t decode(std::string_view s, std::size_t& pos) {
  int length = text::utf8SequenceAt(s.substr(pos));
  if (length < 0) {
    ++pos;
    return kReplacement;
  }
  char32_t c = text::utf8Character(s.substr(pos, static_cast<std::size_t>(length)));
  pos += static_cast<std::size_t>(length);
  return c;
}

void encode(char32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Tab and the Unicode space separators; line breaks are not among them and survive trimming.
bool isTrimmed(char32_t c) {
  return c == 0x09 || c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
         c == 0x202F || c == 0x205F || c == 0x3000;
}

void escape(char32_t c, std::string& out) {
  switch (c) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '/':
      out += "\\/";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
  }
  if (c < 0x20) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\u00";
    out += kHex[c >> 4];
    out += kHex[c & 0xF];
    return;
  }
  encode(c, out);
}

}  // namespace

void setUpOutput() {
  if (fcntl(STDOUT_FILENO, F_GETFD) < 0)
    fail(std::string("cannot write the transcript: ") + std::strerror(errno));
  setvbuf(stdout, nullptr, _IOLBF, 0);
}

std::string transcriptLine(std::string_view text) {
  std::u32string chars;
  chars.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) chars += decode(text, pos);
  std::size_t first = 0, last = chars.size();
  while (first < last && isTrimmed(chars[first])) ++first;
  while (last > first && isTrimmed(chars[last - 1])) --last;

  std::string line = "{\"text\":\"";
  line.reserve(line.size() + text.size() + 4);
  for (std::size_t i = first; i < last; ++i) escape(chars[i], line);
  line += "\"}\n";
  return line;
}

void say(std::string_view text) {
  std::string line = transcriptLine(text);
  // The line feed flushes the line, but a failed flush inside fwrite still reports every byte
  // as written: only the stream's error flag tells.
  std::size_t written = std::fwrite(line.data(), 1, line.size(), stdout);
  if (written != line.size() || std::fflush(stdout) != 0 || std::ferror(stdout))
    fail(std::string("cannot write the transcript: ") + std::strerror(errno));
}

void fail(std::string_view message) {
  std::string line = "vorlin-dictate: ";
  line += message;
  line += '\n';
  // One write, unbuffered, so the line cannot interleave with anything and is out before exit.
  // A short write to a pipe only happens for lines far longer than ours; finish it anyway.
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    ssize_t written = write(STDERR_FILENO, data, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  // Every transcript line was flushed when it was said, so nothing is lost by skipping the exit
  // handlers; running them could unmap the engine's generated code under a thread still in it.
  _exit(1);
}

}  // namespace dictate
