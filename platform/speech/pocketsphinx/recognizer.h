// The PocketSphinx recognizer behind pocketsphinxRecognitionService(), for callers that name the
// model's files themselves (tests, the wake benchmark) or need to look inside a running task.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/speech/pocketsphinx/model.h"
#include "platform/speech/recognizer.h"

namespace speech {

class PocketsphinxRecognizer : public SpeechRecognizer {
 public:
  // Loads the model's decoders now, once; every task of this recognizer shares them. When the
  // files are missing or do not load, the recognizer is still made: supportsOnDeviceRecognition()
  // is false and each task reports the load error.
  static std::shared_ptr<PocketsphinxRecognizer> make(const ModelFiles& files);

  // Samples in the model's format that the decoders have taken in the task being served. Only
  // meaningful on the recognizer's thread, i.e. inside a result handler, where it is the audio
  // position the result was made at.
  virtual std::uint64_t taskSamplesDecoded() const = 0;
};

// How many decoders this process has loaded from model files so far, across all recognizers.
std::uint64_t recognizerDecoderLoads();

}  // namespace speech
