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
enum class ConverterInputStatus : int {
  HaveData = 0,     // the returned buffer holds input
  NoDataNow = 1,    // nothing now; the conversion returns what it has, and may be called again
  EndOfStream = 2,  // no more input ever; the converter drains what it still holds
};

enum class ConverterStatus : int {
  HaveData = 0,     // the output buffer holds frames
  InputRanDry = 1,  // the input block had nothing now
  EndOfStream = 2,  // drained: nothing more will come
  Error = 3,
};

// Asked for input during a conversion, zero or more times: given the number of frames wanted
// and a place for the status, it returns a buffer in the converter's input format, or null.
using ConverterInput =
    std::function<std::shared_ptr<PcmBuffer>(std::uint32_t packets, ConverterInputStatus* status)>;

// Stateful: resampling history and converted frames that did not fit the last output buffer are
// carried into the next conversion. One thread at a time.
//
// Channels: any count to mono is the average of all input channels; mono to any count copies the
// one channel into each; between other counts, channel k goes to channel k and output channels
// with no input counterpart are silent. Float samples map to int16 by scaling by 32768, rounding
// to nearest and clipping; int16 to float divides by 32768. Between equal rates no resampler is
// involved, so int16 to int16 without a channel change is bit-exact; otherwise libsoxr resamples.
class Converter {
 public:
  // None when either format is not valid or libsoxr cannot resample between the two rates.
  static std::unique_ptr<Converter> create(const PcmFormat& from, const PcmFormat& to);
  ~Converter();

  const PcmFormat& inputFormat() const;
  const PcmFormat& outputFormat() const;

  // Fills `output` (in the output format) from its start with up to its capacity, asking
  // `input` for more while there is room; sets its frame length. Frames held from earlier calls
  // come first. Until the end of the stream the block is asked at least once per call, even
  // when held frames fill the output, so a buffer offered in one call only is never lost; a
  // caller that offers more input than its outputs take makes the held frames grow. The block's
  // status decides the rest:
  //   HaveData with a buffer: it is converted (all of it; what does not fit is held) and the
  //     block is asked again if there is still room;
  //   NoDataNow: returns HaveData when the output holds frames, else InputRanDry;
  //   EndOfStream: the resampler is drained; returns HaveData while frames remain held for later
  //     calls, then EndOfStream, whose output may still carry the last frames. Later calls
  //     return EndOfStream with no frames and do not ask the block.
  // Error: the output is not in the output format, the block gave HaveData without a buffer or a
  // buffer in another format, or libsoxr failed; `error`, when given, receives what went wrong.
  // The block is not kept after the call.
  ConverterStatus convert(PcmBuffer& output, std::string* error, const ConverterInput& input);

 private:
  class Impl;
  explicit Converter(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace audio
