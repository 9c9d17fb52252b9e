// The recent part of a stream of samples, addressed by sample index in the stream, for
// readers that go back over it as it grows: appended to, read out as floats, and dropped from the
// front once no reader needs it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace speech {

class RecentAudio {
 public:
  void append(std::span<const std::int16_t> samples);
  // Index of the next sample to come: the number appended so far.
  std::int64_t end() const { return end_; }
  // Samples [begin, end) of the stream, cut to what is kept, scaled to [-1, 1). The span is valid
  // until the next call; its buffer is reused, so reading costs no allocation once it is large
  // enough.
  std::span<const float> floats(std::int64_t begin, std::int64_t end);
  // No reader needs the samples before `sample` any more.
  void dropBefore(std::int64_t sample);

 private:
  std::vector<std::int16_t> audio_;  // the stream from sample begin_ on
  std::int64_t begin_ = 0;
  std::int64_t end_ = 0;
  std::vector<float> floats_;
};

}  // namespace speech
