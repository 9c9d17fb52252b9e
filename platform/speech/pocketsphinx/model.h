// The installed PocketSphinx model and decoders made from it.
#pragma once

#include <cstdint>
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
  std::string acoustic_model;  // directory
  std::string dictionary;
  std::string language_model;
  std::string package;  // the Debian package to install when one is missing

  // The model for `locale`, or none when this platform has no model for it.
  static std::optional<ModelFiles> forLocale(const Locale& locale);
  // The first file or directory that is not there, or a file that is empty; none when all are
  // there.
  std::optional<std::string> firstMissing() const;
};

// The audio format every decoder takes: the model's rate, mono, 16-bit integers.
audio::PcmFormat modelAudioFormat(const ModelFiles& files);

// One PocketSphinx decoder; owned by one thread at a time.
class Decoder {
 public:
  ~Decoder();
  ps_decoder_s* get() const { return ps_; }
  // Decodes samples in the model's format into the current utterance, and lets the live
  // cepstral mean follow them at once. False when the engine fails; its message is then in
  // takeEngineMessages().
  bool process(const std::int16_t* samples, std::size_t count);

 private:
  friend std::unique_ptr<Decoder> makeDecoder(const ModelFiles&, const std::vector<std::string>&,
                                              std::size_t);
  explicit Decoder(ps_decoder_s* ps) : ps_(ps) {}
  ps_decoder_s* ps_;
};

// The options of live decoding: the fast single-pass search, with at most ten word ends and 4000
// active models a frame, and voice activity detection that ends an utterance after half a second
// of pause and ignores stray noise. Made for utterances of up to a minute: the wake listener
// begins a new recognition at least that often.
std::vector<std::string> liveDecoderOptions();

// Makes a decoder on `files` with extra engine options ("-name", "value" pairs; a later value
// for a name replaces an earlier one). Decoders are made one after another, never at once; any
// thread may call. Unless the options pick a search of their own (-lm, -kws, -keyphrase, -fsg,
// -jsgf, -allphone), the decoder searches `files.language_model` with a dictionary cut to that
// model's words, or to its `vocabulary` most likely ones; "-dict" in the options replaces the
// dictionary. With a `vocabulary` of 0 there is no language model: unless the options pick a
// search, the decoder has none until one is set, and unless they name a dictionary it starts
// with an empty one, to be filled with ps_add_word. The live cepstral mean starts from the model's
// initial values with the weight of a few seconds of audio, so that a first utterance of pure noise
// cannot drag it far. Throws Error naming the missing file, or with the engine's own message.
std::unique_ptr<Decoder> makeDecoder(const ModelFiles& files,
                                     const std::vector<std::string>& options = {},
                                     std::size_t vocabulary = SIZE_MAX);

// The engine's error and warning messages logged on the calling thread since the last call,
// joined by "; ", and forgets them; empty when there were none. The engine logs nothing to the
// terminal once a decoder has been made.
std::string takeEngineMessages();
// `what` failed, followed by what the engine said about it on this thread, if anything.
std::string engineFailure(const std::string& what);

}  // namespace speech
