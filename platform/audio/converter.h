// Converts PCM audio between formats: sample encoding, channel count and sample rate.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/audio/format.h"
#include "platform/audio/pcm_buffer.h"

namespace audio {

// What an input block reports with the buffer it returns.
enum class AVAudioConverterInputStatus : int {
  HaveData = 0,    // the returned buffer holds input
  NoDataNow = 1,   // nothing now; the conversion returns what it has, and may be called again
  EndOfStream = 2, // no more input ever; the converter drains what it still holds
};

enum class AVAudioConverterOutputStatus : int {
  HaveData = 0,     // the output buffer holds frames
  InputRanDry = 1,  // the input block had nothing now
  EndOfStream = 2,  // drained: nothing more will come
  Error = 3,
};

// Asked for input during a conversion, zero or more times: given the number of frames wanted
// and a place for the status, it returns a buffer in the converter's input format, or null.
using AVAudioConverterInputBlock = std::function<std::shared_ptr<AVAudioPCMBuffer>(
    std::uint32_t packets, AVAudioConverterInputStatus* status)>;

// Stateful: resampling history and converted frames that did not fit the last output buffer are
// carried into the next conversion. One thread at a time.
class AVAudioConverter {
 public:
  // None when the pair of formats cannot be converted.
  static std::unique_ptr<AVAudioConverter> initFromFormat(const AVAudioFormat& from,
                                                          const AVAudioFormat& to);
  ~AVAudioConverter();

  const AVAudioFormat& inputFormat() const;
  const AVAudioFormat& outputFormat() const;

  // Fills `output` (in the output format) from its start with up to its capacity, asking
  // `input` for more while there is room; sets its frame length. On Error, `error`, when given,
  // receives what went wrong. The block is not kept after the call.
  AVAudioConverterOutputStatus convertToBuffer(AVAudioPCMBuffer& output, std::string* error,
                                               const AVAudioConverterInputBlock& input);

 private:
  class Impl;
  explicit AVAudioConverter(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace audio
