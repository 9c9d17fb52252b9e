#include "platform/speech/moonshine/tokenizer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <limits>
#include <unordered_map>

#include "platform/text/utf8.h"

namespace speech::moonshine {
namespace {

// The model's vocabulary is 240 kB; a file far larger is some other file given by mistake, and
// reading it whole would cost the dictation its memory budget.
constexpr std::size_t kMaxVocabularyBytes = 16 * 1024 * 1024;

constexpr std::string_view kControlPieces[] = {"<unk>", "<s>", "</s>"};
constexpr std::string_view kSpace = "\xE2\x96\x81";        // "▁", SentencePiece's word boundary
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The byte of a byte-fallback piece "<0xNN>", or -1 for any other piece.
int fallbackByte(std::string_view piece) {
  if (piece.size() != 6 || !piece.starts_with("<0x") || piece.back() != '>') return -1;
  int high = hexDigit(piece[3]), low = hexDigit(piece[4]);
  return high < 0 || low < 0 ? -1 : high * 16 + low;
}

// `bytes` with each ill-formed part replaced by U+FFFD, one for each longest start of a sequence
// that went wrong, as browsers and Node.js decode UTF-8: the model's byte pieces need not add up
// to whole characters, and text we write must be valid UTF-8.
std::string validUtf8(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  while (!bytes.empty()) {
    int length = text::utf8SequenceAt(bytes);
    if (length > 0) {
      text += bytes.substr(0, static_cast<std::size_t>(length));
    } else {
      text += kReplacement;
      length = -length;
    }
    bytes.remove_prefix(static_cast<std::size_t>(length));
  }
  return text;
}

std::string readVocabulary(const std::string& path) {
  auto failure = [&](const std::string& what) {
    return Error("cannot read the vocabulary " + path + ": " + what);
  };
  // Without O_NONBLOCK a named pipe given by mistake would hang the load until a writer came.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) throw failure(std::strerror(errno));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat info;
  if (::fstat(fd, &info) != 0) throw failure(std::strerror(errno));
  if (!S_ISREG(info.st_mode)) throw failure("not a regular file");
  auto size = static_cast<std::size_t>(info.st_size);
  if (size > kMaxVocabularyBytes) {
    throw Error("the vocabulary " + path + " is not a vocabulary: it holds " +
                std::to_string(size) + " bytes");
  }
  std::string text(size, '\0');
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::read(fd, text.data() + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw failure(std::strerror(errno));
    if (n == 0) break;  // the file shrank while we read it
    done += static_cast<std::size_t>(n);
  }
  text.resize(done);
  return text;
}

}  // namespace

Tokenizer Tokenizer::load(const std::string& path) {
  std::string text = readVocabulary(path);
  if (text.empty()) throw Error("the vocabulary " + path + " is empty");
  auto malformed = [&](std::size_t line, const std::string& why) {
    return Error("the vocabulary " + path + " is malformed: line " + std::to_string(line + 1) +
                 " " + why);
  };
  // One line feed at the very end ends the last piece rather than beginning another.
  if (text.back() == '\n') text.pop_back();

  Tokenizer tokenizer;
  tokenizer.pieces_.reserve(text.size());
  std::string_view rest = text;
  for (std::size_t id = 0;; ++id) {
    std::size_t end = rest.find('\n');
    std::string_view piece = rest.substr(0, end);
    if (piece.empty()) throw malformed(id, "is empty");
    if (!text::isUtf8(piece)) throw malformed(id, "is not UTF-8");
    bool control = id < std::size(kControlPieces);
    if (control && piece != kControlPieces[id]) {
      throw malformed(id, "is not the control piece " + std::string(kControlPieces[id]));
    }
    int byte = fallbackByte(piece);
    tokenizer.kinds_.push_back(control     ? kControl
                               : byte >= 0 ? static_cast<std::int16_t>(byte)
                                           : kText);
    tokenizer.pieces_ += piece;
    tokenizer.offsets_.push_back(static_cast<std::uint32_t>(tokenizer.pieces_.size()));
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  if (tokenizer.size() < std::size(kControlPieces)) {
    throw malformed(tokenizer.size(), "is missing: the control pieces <unk>, <s>, </s> come first");
  }
  tokenizer.pieces_.shrink_to_fit();
  return tokenizer;
}

std::string_view Tokenizer::piece(std::size_t id) const {
  return std::string_view(pieces_).substr(offsets_[id], offsets_[id + 1] - offsets_[id]);
}

std::string Tokenizer::decode(std::span<const std::int32_t> tokens) const {
  std::string bytes;
  for (std::int32_t token : tokens) {
    if (token < 0 || static_cast<std::size_t>(token) >= size()) continue;
    auto id = static_cast<std::size_t>(token);
    if (kinds_[id] == kControl) continue;
    if (kinds_[id] >= 0) {
      bytes += static_cast<char>(kinds_[id]);
    } else {
      bytes += piece(id);
    }
  }
  // Spaces are put in after the bytes are joined, as the reference decoder (llama-tokenizer-js)
  // does: a "▁" spelled in byte pieces is a space too.
  std::string valid = validUtf8(bytes);
  std::string text;
  text.reserve(valid.size());
  for (std::size_t at = 0; at < valid.size();) {
    if (std::string_view(valid).substr(at, kSpace.size()) == kSpace) {
      text += ' ';
      at += kSpace.size();
    } else {
      text += valid[at++];
    }
  }
  if (!text.empty() && text.front() == ' ') text.erase(0, 1);
  return text;
}

std::vector<std::int32_t> Tokenizer::encode(std::string_view text) const {
  // Nothing to say, nothing to write: not even the word boundary in front.
  if (text.find_first_not_of(' ') == std::string_view::npos) return {};
  // Built per call: phrases are encoded once per request, and dictation, which never encodes,
  // keeps its memory.
  std::unordered_map<std::string_view, std::int32_t> ids;
  ids.reserve(size());
  for (std::size_t id = std::size(kControlPieces); id < size(); ++id) {
    if (kinds_[id] == kText) ids.emplace(piece(id), static_cast<std::int32_t>(id));
  }
  std::string spelled(kSpace);
  for (char c : text) {
    if (c == ' ') {
      spelled += kSpace;
    } else {
      spelled += c;
    }
  }
  // One part per character to begin with.
  std::vector<std::string> parts;
  std::string_view rest = spelled;
  while (!rest.empty()) {
    int length = text::utf8SequenceAt(rest);
    auto n = static_cast<std::size_t>(length < 0 ? -length : length);
    parts.emplace_back(rest.substr(0, n));
    rest.remove_prefix(n);
  }
  for (;;) {
    std::size_t best_at = parts.size();
    std::int32_t best_id = std::numeric_limits<std::int32_t>::max();
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
      auto found = ids.find(parts[i] + parts[i + 1]);
      if (found != ids.end() && found->second < best_id) {
        best_id = found->second;
        best_at = i;
      }
    }
    if (best_at == parts.size()) break;
    parts[best_at] += parts[best_at + 1];
    parts.erase(parts.begin() + static_cast<std::ptrdiff_t>(best_at) + 1);
  }
  std::vector<std::int32_t> tokens;
  for (const std::string& part : parts) {
    auto found = ids.find(part);
    if (found != ids.end()) {
      tokens.push_back(found->second);
      continue;
    }
    // Byte pieces follow the control pieces, in byte order.
    for (unsigned char byte : part) {
      tokens.push_back(static_cast<std::int32_t>(std::size(kControlPieces) + byte));
    }
  }
  return tokens;
}

bool Tokenizer::continuesWord(std::int32_t token) const {
  if (token < 0 || static_cast<std::size_t>(token) >= size()) return false;
  auto id = static_cast<std::size_t>(token);
  if (kinds_[id] != kText) return false;
  return std::isalnum(static_cast<unsigned char>(piece(id).front())) != 0;
}

bool Tokenizer::endsClause(std::int32_t token) const {
  if (token < 0 || static_cast<std::size_t>(token) >= size()) return false;
  auto id = static_cast<std::size_t>(token);
  return kinds_[id] == kText &&
         std::string_view(",.?!;:").find(piece(id).back()) != std::string_view::npos;
}

}  // namespace speech::moonshine
