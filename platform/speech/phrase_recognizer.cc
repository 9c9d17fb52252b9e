#include "platform/speech/phrase_recognizer.h"

#include <optional>
#include <utility>

#include "platform/speech/recognition_worker.h"
#include "platform/speech/request_audio.h"

namespace speech {
namespace {

// The audio the engine hears: the segmenter's rate, mono, 16-bit.
const audio::AVAudioFormat& spottingFormat() {
  static const audio::AVAudioFormat format(audio::AVAudioCommonFormat::PCMFormatInt16,
                                           Segmenter::kSampleRateHz, 1, true);
  return format;
}

std::shared_ptr<const SFSpeechRecognitionResult> result(std::string text, bool final) {
  return std::make_shared<SFSpeechRecognitionResult>(SFTranscription{std::move(text)}, final);
}

// What the worker keeps from task to task. Worker thread only.
class Listener {
 public:
  Listener(PhraseEngineFactory make_engine, std::string load_error, PhraseSpotterOptions options)
      : make_engine_(std::move(make_engine)),
        load_error_(std::move(load_error)),
        options_(options) {}

  void serve(RecognitionTask& task);

 private:
  // The engine and spotter for the request's phrases and threshold, made anew only when they
  // change.
  void use(const SFSpeechAudioBufferRecognitionRequest& request);
  void listen(RecognitionTask& task);

  PhraseEngineFactory make_engine_;
  const std::string load_error_;
  const PhraseSpotterOptions options_;
  std::vector<std::string> phrases_;
  std::optional<float> threshold_;
  std::unique_ptr<PhraseEngine> engine_;
  std::unique_ptr<PhraseSpotter> spotter_;
};

void Listener::use(const SFSpeechAudioBufferRecognitionRequest& request) {
  if (engine_ && request.contextualStrings() == phrases_ &&
      threshold_ == request.contextualStringThreshold())
    return;
  spotter_.reset();
  engine_ = make_engine_(request.contextualStrings());
  phrases_ = request.contextualStrings();
  threshold_ = request.contextualStringThreshold();
  std::vector<float> thresholds(phrases_.size(), *threshold_);
  spotter_ = std::make_unique<PhraseSpotter>(*engine_, std::move(thresholds), options_);
}

void Listener::listen(RecognitionTask& task) {
  const SFSpeechAudioBufferRecognitionRequest& request = task.request();
  use(request);
  RequestAudio converted(spottingFormat());
  std::string text;
  runtime::Stream<std::shared_ptr<audio::AVAudioPCMBuffer>> audio = request.audio();
  for (;;) {
    std::optional<std::shared_ptr<audio::AVAudioPCMBuffer>> next = audio.wait_next();
    if (task.cancelled()) break;
    if (!next) {
      task.report(result(text, true), nullptr);
      return;
    }
    std::span<const std::int16_t> pcm = converted.convert(*next);
    if (pcm.empty()) continue;
    for (PhraseSpotter::Heard& heard : spotter_->push(pcm)) {
      std::string now =
          heard.spotted.empty() ? std::move(heard.text) : phrases_[heard.spotted.front().phrase];
      if (now == text) continue;
      text = std::move(now);
      if (request.shouldReportPartialResults()) task.report(result(text, false), nullptr);
    }
  }
  task.report(nullptr, std::make_shared<Error>(cancelledError()));
}

void Listener::serve(RecognitionTask& task) {
  if (task.cancelled()) {
    task.report(nullptr, std::make_shared<Error>(cancelledError()));
    return;
  }
  if (!load_error_.empty()) {
    task.report(nullptr, std::make_shared<Error>(load_error_));
    return;
  }
  try {
    listen(task);
  } catch (const Error& error) {
    // The engine may be half way through a window: the next task starts from a fresh one.
    engine_.reset();
    spotter_.reset();
    task.report(nullptr, std::make_shared<Error>(error));
  }
}

class Recognizer : public SFSpeechRecognizer {
 public:
  Recognizer(std::shared_ptr<RecognitionWorker> worker, bool loaded)
      : worker_(std::move(worker)), loaded_(loaded) {}
  ~Recognizer() override { worker_->stop(); }

  bool supportsOnDeviceRecognition() const override { return loaded_; }

  std::shared_ptr<SFSpeechRecognitionTask> recognitionTaskWithRequest(
      std::shared_ptr<SFSpeechAudioBufferRecognitionRequest> request,
      SFSpeechRecognitionResultHandler resultHandler) override {
    auto task = std::make_shared<RecognitionTask>(std::move(request), std::move(resultHandler));
    worker_->begin(task);
    return task;
  }

 private:
  std::shared_ptr<RecognitionWorker> worker_;
  bool loaded_;
};

}  // namespace

std::shared_ptr<SFSpeechRecognizer> makePhraseRecognizer(PhraseEngineFactory make_engine,
                                                         std::string load_error,
                                                         PhraseSpotterOptions options) {
  bool loaded = load_error.empty();
  auto listener =
      std::make_shared<Listener>(std::move(make_engine), std::move(load_error), options);
  auto worker = std::make_shared<RecognitionWorker>(
      [listener](RecognitionTask& task) { listener->serve(task); });
  worker->start();
  return std::make_shared<Recognizer>(std::move(worker), loaded);
}

}  // namespace speech
