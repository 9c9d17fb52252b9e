#include "platform/speech/pocketsphinx_transcriber.h"

#include <pocketsphinx.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>
#include <utility>

#include "platform/speech/installed_model.h"

namespace speech {
namespace {

// Longest run of samples handed to the engine at once. Its voice activity detection reports
// only the state after a call, so a long call could hide an end of speech followed by new
// speech; 100 ms is shorter than any pause the detector ends speech on.
constexpr std::uint32_t kChunkFrames = 1600;

// How many of the language model's likeliest words dictation listens for. The last 12500 of its
// 72500 are mostly surnames ("durenberger") and rare forms ("whipsawed"), all rarer than the
// rarest word of the test recordings ("ruggedly", 57448th). Leaving them out changed no word
// heard in them and saves about 6 MB.
constexpr std::size_t kDictationVocabulary = 60000;

class PocketsphinxTranscriber : public SpeechTranscriber {
 public:
  PocketsphinxTranscriber(Locale locale, std::optional<ModelFiles> files, bool volatile_results)
      : locale_(std::move(locale)), files_(std::move(files)), volatile_results_(volatile_results) {
    std::tie(results_, feed_) = runtime::makeStream<Result>();
  }

  const Locale& locale() const override { return locale_; }
  runtime::Stream<Result> results() override { return results_; }

  const std::optional<ModelFiles>& files() const { return files_; }
  bool volatileResults() const { return volatile_results_; }
  const runtime::Continuation<Result>& feed() const { return feed_; }

 private:
  Locale locale_;
  std::optional<ModelFiles> files_;
  bool volatile_results_;
  runtime::Stream<Result> results_;
  runtime::Continuation<Result> feed_;
};

std::shared_ptr<PocketsphinxTranscriber> firstTranscriber(const Modules& modules) {
  for (const std::shared_ptr<SpeechTranscriber>& module : modules) {
    if (auto ours = std::dynamic_pointer_cast<PocketsphinxTranscriber>(module)) return ours;
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

std::string engineFailure(const std::string& what) {
  std::string messages = takeEngineMessages();
  return messages.empty() ? what : what + ": " + messages;
}

// Runs one decoder over the input on its own thread and turns its hypotheses into results.
class Decoding {
 public:
  Decoding(ModelFiles files, std::vector<std::string> options, bool volatile_results,
           runtime::Continuation<SpeechTranscriberResult> results)
      : files_(std::move(files)),
        options_(std::move(options)),
        volatile_results_(volatile_results),
        results_(std::move(results)) {}

  // The whole life of the worker: load, then decode until the input ends or fails. `loaded`
  // ends when decoding begins, or with the error that kept it from beginning; `ended` once
  // every result is delivered, with the error that stopped decoding, if any.
  // `ending` is set once the worker no longer waits for anything, only reports the end.
  void run(runtime::Stream<AnalyzerInput> input, runtime::Continuation<bool> loaded,
           runtime::Continuation<bool> ended, std::atomic<bool>& ending) {
    std::exception_ptr error;
    try {
      format_ = modelAudioFormat(files_);
      decoder_ = makeDecoder(files_, options_, kDictationVocabulary);
      startUtterance();
    } catch (...) {
      error = std::current_exception();
    }
    loaded.finish(error);
    if (!error) {
      try {
        decode(input);
      } catch (...) {
        error = std::current_exception();
      }
      // Free the model before anyone learns decoding is over, so that a process which makes a
      // new analyzer next never holds two models.
      decoder_.reset();
    }
    // Whoever waits for the end must not wait forever on input that is no longer read.
    if (error) {
      try {
        while (input.wait_next()) {
        }
      } catch (...) {
      }
    }
    ending.store(true);
    // Finalization returns first; the results end after it, as their consumer expects.
    ended.finish(error);
    results_.finish(error);
  }

 private:
  void decode(const runtime::Stream<AnalyzerInput>& input) {
    while (std::optional<AnalyzerInput> next = input.wait_next()) {
      const audio::AVAudioPCMBuffer* buffer = next->buffer.get();
      if (buffer == nullptr) continue;
      if (!(buffer->format() == format_)) {
        throw Error("the speech analyzer takes audio in " + format_.description() + ", not " +
                    buffer->format().description());
      }
      const int16_t* samples = buffer->int16ChannelData()[0];
      for (std::uint32_t at = 0; at < buffer->frameLength(); at += kChunkFrames) {
        std::uint32_t frames = std::min(kChunkFrames, buffer->frameLength() - at);
        if (!decoder_->process(samples + at, frames)) {
          throw Error(engineFailure("the speech engine could not decode audio"));
        }
        utterance_samples_ += frames;
        bool in_speech = ps_get_in_speech(decoder_->get()) != 0;
        if (in_speech) heard_speech_ = true;
        // Sound that never pauses, music say, is cut into utterances the engine's tables hold.
        bool too_long = utterance_samples_ >=
                        static_cast<std::uint64_t>(kMaxUtteranceSeconds * format_.sampleRate());
        if ((heard_speech_ && !in_speech) || too_long) {
          endUtterance();
          startUtterance();
        }
      }
      if (volatile_results_) reportRunningHypothesis();
    }
    endUtterance();
  }

  void startUtterance() {
    if (ps_start_utt(decoder_->get()) < 0) {
      throw Error(engineFailure("the speech engine could not start an utterance"));
    }
    heard_speech_ = false;
    utterance_samples_ = 0;
    last_volatile_.clear();
  }

  void endUtterance() {
    if (ps_end_utt(decoder_->get()) < 0) {
      throw Error(engineFailure("the speech engine could not end an utterance"));
    }
    std::string words = hypothesis();
    if (words.empty()) return;
    results_.yield({separated(words), true});
    committed_any_ = true;
  }

  void reportRunningHypothesis() {
    std::string words = hypothesis();
    if (words.empty() || words == last_volatile_) return;
    results_.yield({separated(words), false});
    last_volatile_ = std::move(words);
  }

  std::string hypothesis() const {
    const char* hyp = ps_get_hyp(decoder_->get(), nullptr);
    return hyp == nullptr ? std::string() : plainWords(hyp);
  }

  // The transcript is the committed texts joined as they are, so each one after the first
  // brings the space that keeps its first word apart from the last word before it.
  std::string separated(const std::string& words) const {
    return committed_any_ ? " " + words : words;
  }

  ModelFiles files_;
  std::vector<std::string> options_;
  bool volatile_results_;
  runtime::Continuation<SpeechTranscriberResult> results_;
  audio::AVAudioFormat format_{audio::AVAudioCommonFormat::PCMFormatInt16, 16000, 1, true};
  std::unique_ptr<Decoder> decoder_;
  bool heard_speech_ = false;
  std::uint64_t utterance_samples_ = 0;  // fed since the utterance started
  bool committed_any_ = false;
  std::string last_volatile_;
};

class PocketsphinxAnalyzer : public SpeechAnalyzer {
 public:
  PocketsphinxAnalyzer(std::shared_ptr<PocketsphinxTranscriber> transcriber,
                       std::vector<std::string> options)
      : transcriber_(std::move(transcriber)), options_(std::move(options)) {}

  ~PocketsphinxAnalyzer() override {
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
    auto decoding = std::make_shared<Decoding>(
        *transcriber_->files(), options_, transcriber_->volatileResults(), transcriber_->feed());
    worker_ = std::thread([decoding, finished = finished_, input = std::move(inputSequence),
                           loaded_feed = loaded_feed, ended_feed = ended_feed] {
      decoding->run(input, loaded_feed, ended_feed, *finished);
    });
    co_await loaded.next();
  }

  runtime::Task<> finalizeAndFinishThroughEndOfInput() override {
    if (!worker_.joinable()) throw Error("the speech analyzer was never started");
    co_await ended_.next();
  }

 private:
  std::shared_ptr<PocketsphinxTranscriber> transcriber_;
  std::vector<std::string> options_;
  std::thread worker_;
  std::shared_ptr<std::atomic<bool>> finished_ = std::make_shared<std::atomic<bool>>(false);
  runtime::Stream<bool> ended_;
};

}  // namespace

std::string plainWords(std::string_view hypothesis) {
  std::string words;
  while (!hypothesis.empty()) {
    std::size_t start = hypothesis.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    hypothesis.remove_prefix(start);
    std::size_t end = hypothesis.find(' ');
    std::string_view word = hypothesis.substr(0, end);
    hypothesis.remove_prefix(word.size());
    if (word.front() == '<' || word.front() == '[' || word.starts_with("++")) continue;
    if (word.back() == ')') {
      std::size_t open = word.rfind('(');
      if (open != std::string_view::npos && open > 0) word = word.substr(0, open);
    }
    if (!words.empty()) words += ' ';
    words += word;
  }
  return words;
}

PocketsphinxSpeechService::PocketsphinxSpeechService(ModelLookup models,
                                                     std::vector<std::string> decoder_options)
    : models_(std::move(models)), decoder_options_(std::move(decoder_options)) {}

runtime::Task<std::optional<Locale>> PocketsphinxSpeechService::supportedLocale(
    const Locale& equivalentTo) {
  Locale tag = Locale::fromPosixName(equivalentTo.identifier);
  std::optional<ModelFiles> files = models_(tag);
  if (!files || files->firstMissing()) co_return std::nullopt;
  co_return tag;
}

std::shared_ptr<SpeechTranscriber> PocketsphinxSpeechService::makeTranscriber(
    const Locale& locale, std::set<TranscriptionOption>, std::set<ReportingOption> reportingOptions,
    std::set<AttributeOption>) {
  return std::make_shared<PocketsphinxTranscriber>(
      locale, models_(Locale::fromPosixName(locale.identifier)),
      reportingOptions.contains(ReportingOption::volatileResults));
}

runtime::Task<std::unique_ptr<AssetInstallationRequest>>
PocketsphinxSpeechService::assetInstallationRequest(const Modules& supporting) {
  for (const std::shared_ptr<SpeechTranscriber>& module : supporting) {
    auto transcriber = std::dynamic_pointer_cast<PocketsphinxTranscriber>(module);
    if (!transcriber) continue;
    const std::optional<ModelFiles>& files = transcriber->files();
    if (!files) throw Error("there is no speech model for " + transcriber->locale().identifier);
    if (std::optional<std::string> missing = files->firstMissing()) {
      co_return std::make_unique<MissingModelRequest>(
          missingModelFile(*missing, "the Debian package " + files->package));
    }
  }
  co_return nullptr;
}

runtime::Task<std::optional<audio::AVAudioFormat>>
PocketsphinxSpeechService::bestAvailableAudioFormat(const Modules& compatibleWith) {
  std::shared_ptr<PocketsphinxTranscriber> transcriber = firstTranscriber(compatibleWith);
  if (!transcriber || !transcriber->files()) co_return std::nullopt;
  try {
    co_return modelAudioFormat(*transcriber->files());
  } catch (const Error&) {
    co_return std::nullopt;
  }
}

std::unique_ptr<SpeechAnalyzer> PocketsphinxSpeechService::makeAnalyzer(const Modules& modules) {
  return std::make_unique<PocketsphinxAnalyzer>(firstTranscriber(modules), decoder_options_);
}

SpeechService& pocketsphinxSpeechService() {
  static PocketsphinxSpeechService service;
  return service;
}

}  // namespace speech
