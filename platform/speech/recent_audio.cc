#include "platform/speech/recent_audio.h"

#include <algorithm>

#include "platform/speech/segmenter.h"

namespace speech {

void RecentAudio::append(std::span<const std::int16_t> samples) {
  audio_.insert(audio_.end(), samples.begin(), samples.end());
  end_ += static_cast<std::int64_t>(samples.size());
}

std::span<const float> RecentAudio::floats(std::int64_t begin, std::int64_t end) {
  begin = std::clamp(begin, begin_, end_);
  end = std::clamp(end, begin, end_);
  floats_.resize(static_cast<std::size_t>(end - begin));
  auto first = audio_.begin() + (begin - begin_);
  std::transform(first, first + (end - begin), floats_.begin(),
                 [](std::int16_t s) { return static_cast<float>(s) / 32768.0f; });
  return floats_;
}

void RecentAudio::dropBefore(std::int64_t sample) {
  sample = std::clamp(sample, begin_, end_);
  // Erasing moves the rest down: do it only once the dead part is a second long and outweighs
  // what is kept.
  std::int64_t dead = sample - begin_;
  if (dead < Segmenter::kSampleRateHz || dead < end_ - sample) return;
  audio_.erase(audio_.begin(), audio_.begin() + dead);
  begin_ = sample;
}

}  // namespace speech
