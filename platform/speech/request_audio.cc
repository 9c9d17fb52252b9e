#include "platform/speech/request_audio.h"

#include <string>

#include "platform/speech/error.h"

namespace speech {

std::span<const std::int16_t> RequestAudio::convert(
    const std::shared_ptr<audio::PcmBuffer>& buffer) {
  // The microphone's format is only known from its buffers.
  if (!converter_ || !(converter_->inputFormat() == buffer->format())) {
    converter_ = audio::Converter::create(buffer->format(), target_);
    if (!converter_) {
      throw Error("cannot convert audio from " + buffer->format().description() + " to " +
                  target_.description());
    }
  }
  auto frames = static_cast<std::uint32_t>(static_cast<double>(buffer->frameLength()) *
                                           target_.sampleRate() / buffer->format().sampleRate()) +
                64;
  if (!converted_ || converted_->frameCapacity() < frames) {
    converted_ = audio::PcmBuffer::create(target_, frames);
    if (!converted_) {
      throw Error("cannot allocate a buffer of " + std::to_string(frames) + " frames in " +
                  target_.description());
    }
  }
  bool given = false;
  std::string failure;
  audio::ConverterStatus status = converter_->convert(
      *converted_, &failure, [&](std::uint32_t, audio::ConverterInputStatus* input_status) {
        if (given) {
          *input_status = audio::ConverterInputStatus::NoDataNow;
          return std::shared_ptr<audio::PcmBuffer>();
        }
        given = true;
        *input_status = audio::ConverterInputStatus::HaveData;
        return buffer;
      });
  if (status == audio::ConverterStatus::Error) {
    throw Error("cannot convert audio from " + buffer->format().description() + ": " + failure);
  }
  return {converted_->int16ChannelData()[0], converted_->frameLength()};
}

}  // namespace speech
