// Dictation: a transcriber module fed by an analyzer, and the service that makes them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/audio/format.h"
#include "platform/audio/pcm_buffer.h"
#include "platform/runtime/stream.h"
#include "platform/runtime/task.h"
#include "platform/speech/error.h"
#include "platform/speech/locale.h"

namespace speech {

enum class TranscriptionOption { etiquetteReplacements };
enum class ReportingOption { volatileResults, fastResults };
enum class AttributeOption { audioTimeRange };

// One recognition result: plain text and whether it is committed. A volatile (non-final)
// result is the provisional rest of the transcript, replaced by the next result.
struct SpeechTranscriberResult {
  std::string text;
  bool isFinal = false;
};

class SpeechTranscriber {
 public:
  using Result = SpeechTranscriberResult;
  virtual ~SpeechTranscriber() = default;
  virtual const Locale& locale() const = 0;
  // The results, in order, ending after finalization; ends with an error if recognition fails.
  // Take it once and consume it on one run loop.
  virtual runtime::Stream<Result> results() = 0;
};

// One buffer of audio in the analyzer's format.
struct AnalyzerInput {
  explicit AnalyzerInput(std::shared_ptr<audio::PcmBuffer> buffer) : buffer(std::move(buffer)) {}
  std::shared_ptr<audio::PcmBuffer> buffer;
};

class SpeechAnalyzer {
 public:
  virtual ~SpeechAnalyzer() = default;
  // Begins analysis of `inputSequence`, consumed on a thread of the analyzer's own; returns once
  // analysis has begun. Throws Error.
  virtual runtime::Task<> start(runtime::Stream<AnalyzerInput> inputSequence) = 0;
  // Returns once the input sequence has ended and every result for its audio has been
  // delivered as final; the results sequence ends after that. Throws Error.
  virtual runtime::Task<> finalizeAndFinishThroughEndOfInput() = 0;
};

class AssetInstallationRequest {
 public:
  virtual ~AssetInstallationRequest() = default;
  virtual runtime::Task<> downloadAndInstall() = 0;
};

using Modules = std::vector<std::shared_ptr<SpeechTranscriber>>;

// The operations dictation starts from. The methods run on the caller's run loop.
class SpeechService {
 public:
  virtual ~SpeechService() = default;
  // The supported locale equivalent to `locale`, or none.
  virtual runtime::Task<std::optional<Locale>> supportedLocale(const Locale& equivalentTo) = 0;
  // SpeechTranscriber(locale:transcriptionOptions:reportingOptions:attributeOptions:)
  virtual std::shared_ptr<SpeechTranscriber> makeTranscriber(
      const Locale& locale, std::set<TranscriptionOption> transcriptionOptions,
      std::set<ReportingOption> reportingOptions, std::set<AttributeOption> attributeOptions) = 0;
  // None when everything the modules need is installed. Throws Error.
  virtual runtime::Task<std::unique_ptr<AssetInstallationRequest>> assetInstallationRequest(
      const Modules& supporting) = 0;
  // The format the modules take audio in, or none.
  virtual runtime::Task<std::optional<audio::PcmFormat>> bestAvailableAudioFormat(
      const Modules& compatibleWith) = 0;
  // SpeechAnalyzer(modules:options:) with default options.
  virtual std::unique_ptr<SpeechAnalyzer> makeAnalyzer(const Modules& modules) = 0;
};

// Dictation on the on-device neural model, Moonshine tiny.
SpeechService& moonshineSpeechService();

}  // namespace speech
