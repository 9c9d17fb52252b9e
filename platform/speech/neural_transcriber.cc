#include "platform/speech/neural_transcriber.h"

#include <atomic>
#include <exception>
#include <thread>
#include <utility>

#include "platform/speech/sample_rate.h"

namespace speech {
namespace {

const audio::PcmFormat kFormat(audio::SampleFormat::Int16, kSampleRateHz, 1, true);

class NeuralTranscriber : public SpeechTranscriber {
 public:
  NeuralTranscriber(Locale locale, std::optional<moonshine::NeuralModelFiles> files,
                    bool volatile_results)
      : locale_(std::move(locale)), files_(std::move(files)), volatile_results_(volatile_results) {
    std::tie(results_, feed_) = runtime::makeStream<Result>();
  }

  const Locale& locale() const override { return locale_; }
  runtime::Stream<Result> results() override { return results_; }

  const std::optional<moonshine::NeuralModelFiles>& files() const { return files_; }
  bool volatileResults() const { return volatile_results_; }
  const runtime::Continuation<Result>& feed() const { return feed_; }

 private:
  Locale locale_;
  std::optional<moonshine::NeuralModelFiles> files_;
  bool volatile_results_;
  runtime::Stream<Result> results_;
  runtime::Continuation<Result> feed_;
};

std::shared_ptr<NeuralTranscriber> firstTranscriber(const Modules& modules) {
  for (const std::shared_ptr<SpeechTranscriber>& module : modules) {
    if (auto ours = std::dynamic_pointer_cast<NeuralTranscriber>(module)) return ours;
  }
  return nullptr;
}

class MissingModelRequest : public AssetInstallationRequest {
 public:
  explicit MissingModelRequest(std::string description) : description_(std::move(description)) {}
  runtime::Task<> downloadAndInstall() override {
    throw Error(description_);
    co_return;
  }

 private:
  std::string description_;
};

// What the analyzer's thread runs: load, then recognize until the input ends or fails.
struct Recognition {
  moonshine::NeuralModelFiles files;
  NeuralSpeechService::EngineLoader load;
  DictationWriter writer;
  SegmenterOptions segmenter;
  bool volatile_results;
  runtime::Continuation<SpeechTranscriberResult> results;

  // `loaded` ends when recognition begins, or with the error that kept it from beginning;
  // `ended` once every result is delivered, with the error that stopped recognition, if any.
  // `ending` is set once the thread no longer waits for anything, only reports the end.
  void run(runtime::Stream<AnalyzerInput> input, runtime::Continuation<bool> loaded,
           runtime::Continuation<bool> ended, std::atomic<bool>& ending) {
    std::exception_ptr error;
    std::unique_ptr<SegmentEngine> engine;
    try {
      engine = load(files);
    } catch (...) {
      error = std::current_exception();
    }
    loaded.finish(error);
    if (!error) {
      try {
        recognize(*engine, input);
      } catch (...) {
        error = std::current_exception();
      }
      // Free the model before anyone learns recognition is over, so that a process which makes
      // a new analyzer next never holds two models.
      engine.reset();
    }
    // Whoever waits for the end must not wait forever on input that is no longer read.
    if (error) {
      try {
        while (input.waitNext()) {
        }
      } catch (...) {
      }
    }
    ending.store(true);
    // Finalization returns first; the results end after it, as their consumer expects.
    ended.finish(error);
    results.finish(error);
  }

  void recognize(SegmentEngine& engine, const runtime::Stream<AnalyzerInput>& input) {
    SegmentedDictation dictation(
        engine, segmenter, volatile_results, writer,
        [this](SpeechTranscriberResult result) { results.yield(std::move(result)); },
        [&input] { return input.ended(); });
    while (std::optional<AnalyzerInput> next = input.waitNext()) {
      const audio::PcmBuffer* buffer = next->buffer.get();
      if (buffer == nullptr) continue;
      if (!(buffer->format() == kFormat)) {
        throw Error("the speech analyzer takes audio in " + kFormat.description() + ", not " +
                    buffer->format().description());
      }
      dictation.feed({buffer->int16ChannelData()[0], buffer->frameLength()}, input.ready());
    }
    dictation.finish();
  }
};

class NeuralAnalyzer : public SpeechAnalyzer {
 public:
  NeuralAnalyzer(std::shared_ptr<NeuralTranscriber> transcriber, Recognition recognition)
      : transcriber_(std::move(transcriber)), recognition_(std::move(recognition)) {}

  ~NeuralAnalyzer() override {
    if (!worker_.joinable()) return;
    // Once the worker is reporting the end it only has to return, and joining it keeps it from
    // touching a run loop its caller is about to destroy; before that it may still be waiting
    // for input that nobody will finish, and it owns everything it uses.
    if (finished_->load()) {
      worker_.join();
    } else {
      worker_.detach();
    }
  }

  runtime::Task<> start(runtime::Stream<AnalyzerInput> inputSequence) override {
    if (!transcriber_) throw Error("the speech analyzer has no transcriber of its service");
    if (worker_.joinable()) throw Error("the speech analyzer was started twice");
    if (!transcriber_->files()) {
      throw Error("there is no speech model for " + transcriber_->locale().identifier);
    }
    auto [loaded, loaded_feed] = runtime::makeStream<bool>();
    auto [ended, ended_feed] = runtime::makeStream<bool>();
    ended_ = ended;
    auto recognition = std::make_shared<Recognition>(recognition_);
    recognition->files = *transcriber_->files();
    recognition->volatile_results = transcriber_->volatileResults();
    recognition->results = transcriber_->feed();
    worker_ = std::thread([recognition, finished = finished_, input = std::move(inputSequence),
                           loaded_feed = loaded_feed, ended_feed = ended_feed] {
      recognition->run(input, loaded_feed, ended_feed, *finished);
    });
    co_await loaded.next();
  }

  runtime::Task<> finalizeAndFinishThroughEndOfInput() override {
    if (!worker_.joinable()) throw Error("the speech analyzer was never started");
    co_await ended_.next();
  }

 private:
  std::shared_ptr<NeuralTranscriber> transcriber_;
  Recognition recognition_;
  std::thread worker_;
  std::shared_ptr<std::atomic<bool>> finished_ = std::make_shared<std::atomic<bool>>(false);
  runtime::Stream<bool> ended_;
};

}  // namespace

NeuralSpeechService::NeuralSpeechService(ModelLookup models, EngineLoader load,
                                         DictationWriter writer, SegmenterOptions segmenter)
    : models_(std::move(models)),
      load_(std::move(load)),
      writer_(std::move(writer)),
      segmenter_(segmenter) {}

runtime::Task<std::optional<Locale>> NeuralSpeechService::supportedLocale(
    const Locale& equivalentTo) {
  Locale tag = Locale::fromPosixName(equivalentTo.identifier);
  std::optional<moonshine::NeuralModelFiles> files = models_(tag);
  if (!files || files->firstMissing()) co_return std::nullopt;
  co_return tag;
}

std::shared_ptr<SpeechTranscriber> NeuralSpeechService::makeTranscriber(
    const Locale& locale, std::set<TranscriptionOption>, std::set<ReportingOption> reportingOptions,
    std::set<AttributeOption>) {
  return std::make_shared<NeuralTranscriber>(
      locale, models_(Locale::fromPosixName(locale.identifier)),
      reportingOptions.contains(ReportingOption::volatileResults));
}

runtime::Task<std::unique_ptr<AssetInstallationRequest>>
NeuralSpeechService::assetInstallationRequest(const Modules& supporting) {
  for (const std::shared_ptr<SpeechTranscriber>& module : supporting) {
    auto transcriber = std::dynamic_pointer_cast<NeuralTranscriber>(module);
    if (!transcriber) continue;
    const std::optional<moonshine::NeuralModelFiles>& files = transcriber->files();
    if (!files) throw Error("there is no speech model for " + transcriber->locale().identifier);
    if (std::optional<std::string> message = files->missingMessage()) {
      co_return std::make_unique<MissingModelRequest>(*message);
    }
  }
  co_return nullptr;
}

runtime::Task<std::optional<audio::PcmFormat>> NeuralSpeechService::bestAvailableAudioFormat(
    const Modules& compatibleWith) {
  if (!firstTranscriber(compatibleWith)) co_return std::nullopt;
  co_return kFormat;
}

std::unique_ptr<SpeechAnalyzer> NeuralSpeechService::makeAnalyzer(const Modules& modules) {
  Recognition recognition{{}, load_, writer_, segmenter_, false, {}};
  return std::make_unique<NeuralAnalyzer>(firstTranscriber(modules), std::move(recognition));
}

}  // namespace speech
