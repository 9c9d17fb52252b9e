// Where the dictation model's files are installed, and whether they are all there.
#pragma once

#include <optional>
#include <string>

#include "platform/speech/locale.h"

namespace speech::moonshine {

struct NeuralModelFiles {
  std::string encoder;       // encoder_model.onnx
  std::string decoder;       // decoder_model_merged.onnx
  std::string tokenizer;     // tokenizer.txt, the vocabulary
  std::string install_hint;  // what brings the files, for messages: "the package ..."

  // The model installed with the running program, in share/vorlin-speech/moonshine-tiny beside
  // its bin/ directory (<directory of the executable>/..), so that an installed tree and the
  // build tree both find their own copy; /usr/share/vorlin-speech/moonshine-tiny when the
  // executable's path cannot be read. None when there is no model for `locale`.
  static std::optional<NeuralModelFiles> forLocale(const Locale& locale);
  // The model's files in `directory`.
  static NeuralModelFiles inDirectory(const std::string& directory);

  // The first file that is missing or empty; none when all are there.
  std::optional<std::string> firstMissing() const;
  // What is wrong with the first missing file, naming it and what installs it; none when all
  // are there.
  std::optional<std::string> missingMessage() const;
};

}  // namespace speech::moonshine
