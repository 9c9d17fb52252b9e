// The installed PocketSphinx model and decoders made from it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio/format.h"
#include "platform/speech/error.h"
#include "platform/speech/locale.h"

struct ps_decoder_s;

namespace speech {

// Where the files of one locale's model live, and the package that installs them.
struct ModelFiles {
  std::string acoustic_model;   // directory
  std::string dictionary;
  std::string language_model;
  std::string package;          // the Debian package to install when one is missing

  // The model for `locale`, or none when this platform has no model for it.
  static std::optional<ModelFiles> forLocale(const Locale& locale);
  // The first file or directory that is not there, or none.
  std::optional<std::string> firstMissing() const;
};

// The audio format every decoder takes: the model's rate, mono, 16-bit integers.
audio::AVAudioFormat modelAudioFormat(const ModelFiles& files);

// One PocketSphinx decoder; owned by one thread at a time.
class Decoder {
 public:
  ~Decoder();
  ps_decoder_s* get() const { return ps_; }

 private:
  friend std::unique_ptr<Decoder> makeDecoder(const ModelFiles&, const std::vector<std::string>&);
  explicit Decoder(ps_decoder_s* ps) : ps_(ps) {}
  ps_decoder_s* ps_;
};

// Makes a decoder on `files` with extra engine options ("-name", "value" pairs). Decoders are
// made one after another, never at once. Throws Error with the engine's own message.
std::unique_ptr<Decoder> makeDecoder(const ModelFiles& files,
                                     const std::vector<std::string>& options = {});

}  // namespace speech
