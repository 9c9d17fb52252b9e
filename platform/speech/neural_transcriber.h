// Dictation on a neural segment engine: the service behind moonshineSpeechService(), open to
// tests that hand it another engine or other model files.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "platform/speech/moonshine/model_files.h"
#include "platform/speech/segment_engine.h"
#include "platform/speech/segmented_dictation.h"
#include "platform/speech/segmenter.h"
#include "platform/speech/transcriber.h"

namespace speech {

class NeuralSpeechService : public SpeechService {
 public:
  using ModelLookup = std::function<std::optional<moonshine::NeuralModelFiles>(const Locale&)>;
  // Loads an engine from the files; runs on the analyzer's thread. Throws Error.
  using EngineLoader =
      std::function<std::unique_ptr<SegmentEngine>(const moonshine::NeuralModelFiles&)>;

  NeuralSpeechService(ModelLookup models, EngineLoader load, DictationWriter writer,
                      SegmenterOptions segmenter = {});

  // The supported locale when its model is installed; any spelling of a supported tag
  // ("en_US.UTF-8") answers the tag itself.
  runtime::Task<std::optional<Locale>> supportedLocale(const Locale& equivalentTo) override;
  std::shared_ptr<SpeechTranscriber> makeTranscriber(
      const Locale& locale, std::set<TranscriptionOption> transcriptionOptions,
      std::set<ReportingOption> reportingOptions,
      std::set<AttributeOption> attributeOptions) override;
  // Never downloads: when a file is missing or empty, the request's downloadAndInstall() throws
  // an Error naming the file and what installs it. Throws Error when a module's locale has no
  // model at all.
  runtime::Task<std::unique_ptr<AssetInstallationRequest>> assetInstallationRequest(
      const Modules& supporting) override;
  // 16 kHz, mono, 16-bit integers, for a transcriber of this service.
  runtime::Task<std::optional<audio::PcmFormat>> bestAvailableAudioFormat(
      const Modules& compatibleWith) override;
  // Loads the engine when started, on the analyzer's own thread, and recognizes there; see
  // SegmentedDictation for the results.
  std::unique_ptr<SpeechAnalyzer> makeAnalyzer(const Modules& modules) override;

 private:
  ModelLookup models_;
  EngineLoader load_;
  DictationWriter writer_;
  SegmenterOptions segmenter_;
};

}  // namespace speech
