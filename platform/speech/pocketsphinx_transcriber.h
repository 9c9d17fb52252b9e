// Dictation on PocketSphinx: the service behind pocketsphinxSpeechService(), open to tests that
// point it at other model files or decoder options.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/speech/model.h"
#include "platform/speech/transcriber.h"

namespace speech {

// The words of an engine hypothesis as a user reads them: fillers ("<s>", "<sil>", "[NOISE]",
// "++BREATH++") dropped, alternate pronunciations ("read(2)") named by their word, one space
// between words.
std::string plainWords(std::string_view hypothesis);

class PocketsphinxSpeechService : public SpeechService {
 public:
  using ModelLookup = std::function<std::optional<ModelFiles>(const Locale&)>;

  // `models` says which files serve a locale (none: not supported); `decoder_options` go to
  // every decoder the analyzers make.
  PocketsphinxSpeechService(ModelLookup models = ModelFiles::forLocale,
                            std::vector<std::string> decoder_options = liveDecoderOptions());

  // The supported locale when its model is installed; any spelling of a supported tag
  // ("en_US.UTF-8") answers the tag itself.
  runtime::Task<std::optional<Locale>> supportedLocale(const Locale& equivalentTo) override;
  std::shared_ptr<SpeechTranscriber> makeTranscriber(
      const Locale& locale, std::set<TranscriptionOption> transcriptionOptions,
      std::set<ReportingOption> reportingOptions,
      std::set<AttributeOption> attributeOptions) override;
  // Never downloads: when a file is missing, the request's downloadAndInstall() throws an Error
  // naming the file and the Debian package that installs it. Throws Error when a module's locale
  // has no model at all.
  runtime::Task<std::unique_ptr<AssetInstallationRequest>> assetInstallationRequest(
      const Modules& supporting) override;
  // The model's own sample rate, mono, 16-bit integers; none when the model cannot be read.
  runtime::Task<std::optional<audio::AVAudioFormat>> bestAvailableAudioFormat(
      const Modules& compatibleWith) override;
  // Loads the model when started, on the analyzer's own thread; decodes there. Each input is
  // checked for a new running hypothesis (a volatile result, when the transcriber asked for
  // them); each end of speech the engine detects gives a final result, and so does
  // finalization for what remains. Results after the first committed one begin with a space.
  std::unique_ptr<SpeechAnalyzer> makeAnalyzer(const Modules& modules) override;

 private:
  ModelLookup models_;
  std::vector<std::string> decoder_options_;
};

}  // namespace speech
