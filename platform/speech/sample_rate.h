// The rate of the audio the speech engines here hear, and so of everything that cuts or keeps it
// for them; always mono.
#pragma once

namespace speech {

inline constexpr int kSampleRateHz = 16000;

}  // namespace speech
