// A request's microphone buffers in the format a recognizer decodes: converted as they come, with
// a converter made for the microphone's format and made again should the device change.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "platform/audio/converter.h"
#include "platform/audio/format.h"
#include "platform/audio/pcm_buffer.h"

namespace speech {

class RequestAudio {
 public:
  // `target`: mono 16-bit integer samples at the recognizer's rate.
  explicit RequestAudio(audio::PcmFormat target) : target_(std::move(target)) {}

  // `buffer` in the target format; empty while the converter still fills its delay. The samples
  // stay valid until the next call. Throws Error when the buffer cannot be converted.
  std::span<const std::int16_t> convert(const std::shared_ptr<audio::PcmBuffer>& buffer);

 private:
  audio::PcmFormat target_;
  std::unique_ptr<audio::Converter> converter_;
  std::shared_ptr<audio::PcmBuffer> converted_;
};

}  // namespace speech
