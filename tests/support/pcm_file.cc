#include "tests/support/pcm_file.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace testing_support {

std::vector<std::int16_t> readPcm(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  std::size_t begin = 0, end = bytes.size();
  if (bytes.compare(0, 4, "RIFF") == 0 && bytes.size() >= 12) {
    // Walk the chunks to "data"; the recordings are all 16 kHz mono 16-bit.
    std::size_t pos = 12;
    for (;;) {
      if (pos + 8 > bytes.size()) throw std::runtime_error(path + ": no data chunk");
      std::uint32_t size = 0;
      std::memcpy(&size, bytes.data() + pos + 4, 4);
      if (bytes.compare(pos, 4, "data") == 0) {
        begin = pos + 8;
        end = std::min(bytes.size(), begin + size);
        break;
      }
      pos += 8 + size + (size & 1);
    }
  }
  std::vector<std::int16_t> samples((end - begin) / 2);
  std::memcpy(samples.data(), bytes.data() + begin, samples.size() * 2);
  return samples;
}

std::vector<float> toFloat(const std::vector<std::int16_t>& samples) {
  std::vector<float> out(samples.size());
  for (std::size_t i = 0; i < samples.size(); ++i) out[i] = samples[i] / 32768.0f;
  return out;
}

}  // namespace testing_support
