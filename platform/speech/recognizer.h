// Rolling recognition of microphone audio: a recognizer, the requests that carry audio to it,
// and the tasks that report results.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio/noise_suppressor.h"
#include "platform/audio/pcm_buffer.h"
#include "platform/runtime/stream.h"
#include "platform/speech/error.h"
#include "platform/speech/locale.h"

namespace speech {

enum class AuthorizationStatus : int {
  notDetermined = 0,
  denied = 1,
  restricted = 2,
  authorized = 3,
};

// A word the recognizer's dictionary may lack, spelled in the model's phones ("V AO R L IH N");
// further ways to say a word are spelled "word(2)", "word(3)".
struct Pronunciation {
  std::string word;
  std::string phones;
};

// Audio for one recognition task, appended from any thread, in any PCM format. Appending takes a
// short lock and never waits for recognition. After endAudio() further buffers are ignored.
class RecognitionRequest {
 public:
  RecognitionRequest();

  void setRequiresOnDeviceRecognition(bool value) { requires_on_device_ = value; }
  void setShouldReportPartialResults(bool value) { partial_results_ = value; }
  // Phrases the recognizer should favour where the audio supports them.
  void setContextualStrings(std::vector<std::string> strings) { contextual_ = std::move(strings); }
  // How readily the recognizer searches the audio for contextual strings of two or more words
  // beside its language model (the engine's keyphrase threshold: smaller fires more readily). 0,
  // the default, leaves them to the language model like any other words.
  void setPhraseThreshold(double threshold) { phrase_threshold_ = threshold; }
  // How the words of the contextual strings that the recognizer does not know are said. A word
  // it already knows keeps its own pronunciations; one added once stays for every later request.
  void setPronunciations(std::vector<Pronunciation> words) { pronunciations_ = std::move(words); }
  // Whether the microphone's noise is taken out before recognition; never by default. The
  // recognizer keeps one suppressor running across its requests, so that it knows the room's
  // noise before a request needs it. It delays the audio by one 10 ms frame.
  void setNoiseSuppression(audio::NoiseSuppressor::Engagement engagement) {
    noise_suppression_ = engagement;
  }
  bool requiresOnDeviceRecognition() const { return requires_on_device_; }
  bool shouldReportPartialResults() const { return partial_results_; }
  const std::vector<std::string>& contextualStrings() const { return contextual_; }
  double phraseThreshold() const { return phrase_threshold_; }
  const std::vector<Pronunciation>& pronunciations() const { return pronunciations_; }
  audio::NoiseSuppressor::Engagement noiseSuppression() const { return noise_suppression_; }

  void append(std::shared_ptr<audio::PcmBuffer> buffer);
  void endAudio();

  // For the recognizer: the appended buffers in order, then the end after endAudio().
  runtime::Stream<std::shared_ptr<audio::PcmBuffer>> audio() const { return audio_; }

 private:
  explicit RecognitionRequest(std::pair<runtime::Stream<std::shared_ptr<audio::PcmBuffer>>,
                                        runtime::Continuation<std::shared_ptr<audio::PcmBuffer>>>
                                  stream);

  bool requires_on_device_ = false;
  bool partial_results_ = true;
  std::vector<std::string> contextual_;
  double phrase_threshold_ = 0;
  std::vector<Pronunciation> pronunciations_;
  audio::NoiseSuppressor::Engagement noise_suppression_ =
      audio::NoiseSuppressor::Engagement::kNever;
  runtime::Stream<std::shared_ptr<audio::PcmBuffer>> audio_;
  runtime::Continuation<std::shared_ptr<audio::PcmBuffer>> append_;
};

struct Transcription {
  std::string formattedString;
};

class RecognitionResult {
 public:
  RecognitionResult(Transcription best, bool final) : best_(std::move(best)), final_(final) {}
  // All text recognised so far in the task.
  const Transcription& bestTranscription() const { return best_; }
  bool isFinal() const { return final_; }

 private:
  Transcription best_;
  bool final_;
};

// Called repeatedly on a thread of the recognizer's, never the caller's: partial results, then a
// final result or an error. Either may be null; an error ends the task.
using RecognitionHandler = std::function<void(std::shared_ptr<const RecognitionResult> result,
                                              std::shared_ptr<const Error> error)>;

class RecognitionTask {
 public:
  virtual ~RecognitionTask() = default;
  // Stops the task; its handler then gets one error (cancelled) and nothing after. Calling it
  // again, or after the task ended, does nothing.
  virtual void cancel() = 0;
};

class SpeechRecognizer {
 public:
  virtual ~SpeechRecognizer() = default;
  virtual bool supportsOnDeviceRecognition() const = 0;
  virtual std::shared_ptr<RecognitionTask> recognitionTask(
      std::shared_ptr<RecognitionRequest> request, RecognitionHandler resultHandler) = 0;
};

// The operations the wake listener starts from.
class RecognitionService {
 public:
  virtual ~RecognitionService() = default;
  // Calls `handler` once, on a thread other than the caller's.
  virtual void requestAuthorization(std::function<void(AuthorizationStatus)> handler) = 0;
  // None when no model for `locale` is installed.
  virtual std::shared_ptr<SpeechRecognizer> recognizerFor(const Locale& locale) = 0;
};

// Recognition on the on-device PocketSphinx models.
RecognitionService& pocketsphinxRecognitionService();

}  // namespace speech
