// Reads the test recordings: 16 kHz mono 16-bit, headerless (.raw) or in a RIFF WAVE file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

// The samples of a .raw or .wav file; throws std::runtime_error when it cannot be read.
std::vector<std::int16_t> readPcm(const std::string& path);

// Samples scaled to [-1, 1).
std::vector<float> toFloat(const std::vector<std::int16_t>& samples);

}  // namespace testing_support
