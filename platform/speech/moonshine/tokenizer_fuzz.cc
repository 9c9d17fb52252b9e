// libFuzzer target for the tokenizer. The first byte picks what the rest is: token ids (4 bytes
// each) decoded with the model's vocabulary, or a vocabulary file of its own, which must either
// load or throw Error, and once loaded decode every id. Whatever the ids, the text is valid
// UTF-8, as iconv judges it.
#include <iconv.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "platform/speech/moonshine/tokenizer.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

bool isValidUtf8(const std::string& text) {
  static iconv_t converter = iconv_open("UTF-8", "UTF-8");
  check(converter != reinterpret_cast<iconv_t>(-1));
  iconv(converter, nullptr, nullptr, nullptr, nullptr);
  std::string in = text;
  std::vector<char> out(text.size() + 4);
  char* in_at = in.data();
  char* out_at = out.data();
  std::size_t in_left = in.size(), out_left = out.size();
  return iconv(converter, &in_at, &in_left, &out_at, &out_left) != static_cast<std::size_t>(-1) &&
         in_left == 0;
}

void checkText(const speech::moonshine::Tokenizer& tokenizer,
               const std::vector<std::int32_t>& tokens) {
  check(isValidUtf8(tokenizer.decode(tokens)));
}

const speech::moonshine::Tokenizer& modelTokenizer() {
  static const auto tokenizer = speech::moonshine::Tokenizer::load(
      std::string(VORLIN_MOONSHINE_MODEL_DIR) + "/tokenizer.txt");
  return tokenizer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool own_vocabulary = data[0] & 1;
  ++data;
  --size;
  if (!own_vocabulary) {
    std::vector<std::int32_t> tokens(size / 4);
    std::memcpy(tokens.data(), data, tokens.size() * 4);
    // Most ids near the vocabulary, so that its byte pieces meet often; the rest as they come.
    for (std::int32_t& token : tokens) {
      if (token & 0x10000)
        token = static_cast<std::int32_t>(static_cast<std::uint32_t>(token) % 33000);
    }
    checkText(modelTokenizer(), tokens);
    return 0;
  }
  char path[] = "/tmp/vorlin-tokenizer-fuzz-XXXXXX";
  int fd = mkstemp(path);
  check(fd >= 0);
  check(write(fd, data, size) == static_cast<ssize_t>(size));
  close(fd);
  try {
    auto tokenizer = speech::moonshine::Tokenizer::load(path);
    std::vector<std::int32_t> all(tokenizer.size() + 2);
    std::iota(all.begin(), all.end(), -1);
    checkText(tokenizer, all);
  } catch (const speech::Error&) {
  }
  unlink(path);
  return 0;
}
