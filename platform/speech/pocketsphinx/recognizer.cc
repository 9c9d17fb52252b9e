#include "platform/speech/pocketsphinx/recognizer.h"

#include <pocketsphinx.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/audio/converter.h"
#include "platform/speech/pocketsphinx/keyphrase_spotting.h"
#include "platform/speech/request_audio.h"

namespace speech {

namespace {

std::atomic<std::uint64_t> decoder_loads{0};

// Writes `text` to a new file under the temporary directory and removes it again when the object
// goes; the engine only takes dictionaries and keyphrase lists by path.
class TempFile {
 public:
  explicit TempFile(const std::string& text) {
    const char* dir = std::getenv("TMPDIR");
    std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/vorlin-recognizer-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) throw Error("cannot create a temporary file " + pattern);
    path_ = name.data();
    FILE* file = fdopen(fd, "w");
    if (!file) {
      ::close(fd);
      ::unlink(path_.c_str());
      throw Error("cannot open the temporary file " + path_);
    }
    bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (std::fclose(file) != 0 || !written) {
      ::unlink(path_.c_str());
      throw Error("cannot write the temporary file " + path_);
    }
  }
  ~TempFile() { ::unlink(path_.c_str()); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The language model's decoder is there to give the wake words competition and ordinary speech
// its words. On the wake development set (bench/wake) its 20000 likeliest words wake about as
// often, and as rarely, as all 72000, for a sixth less decoding time and 25 MB less memory.
constexpr std::size_t kListeningVocabulary = 20000;

std::unique_ptr<Decoder> loadDecoder(const ModelFiles& files,
                                     const std::vector<std::string>& options,
                                     std::size_t vocabulary = SIZE_MAX) {
  std::unique_ptr<Decoder> decoder = makeDecoder(files, options, vocabulary);
  decoder_loads.fetch_add(1, std::memory_order_relaxed);
  return decoder;
}

// The words the decoder found in the current utterance, with the frames they span.
std::vector<Segment> segments(ps_decoder_t* ps) {
  std::vector<Segment> found;
  for (ps_seg_t* seg = ps_seg_iter(ps); seg; seg = ps_seg_next(seg)) {
    int start = 0, end = 0;
    ps_seg_frames(seg, &start, &end);
    const char* word = ps_seg_word(seg);
    if (word) found.push_back({word, start, end});
  }
  return found;
}

const Error& cancelledError() {
  static const Error error("recognition was cancelled");
  return error;
}

class Task;

// Both decoders and the one thread that uses them. Tasks wait in a queue and are served one at a
// time, in the order they were begun.
class Worker : public std::enable_shared_from_this<Worker> {
 public:
  Worker(ModelFiles files, std::optional<audio::PcmFormat> model_format,
         std::unique_ptr<Decoder> words, std::unique_ptr<Decoder> phrases, std::string load_error)
      : files_(std::move(files)),
        model_format_(std::move(model_format)),
        words_(std::move(words)),
        phrases_(std::move(phrases)),
        load_error_(std::move(load_error)) {}

  void start() {
    thread_ = std::thread([self = shared_from_this()] { self->run(); });
  }
  void stop();
  void begin(std::shared_ptr<Task> task);
  std::uint64_t samplesDecoded() const { return samples_decoded_; }
  bool loaded() const { return load_error_.empty(); }

 private:
  void run();
  // One task, from the decoders' setup to its final result or error.
  void serve(Task& task);
  // Decodes the request's audio until its end, the end of speech or a cancellation.
  void listen(Task& task);
  // The final result, once the utterances are over.
  void finish(Task& task);
  void startUtterances();
  void endUtterances();  // does nothing unless started
  void decode(const std::int16_t* pcm, std::size_t samples);
  // The language model's words, with the spotted phrases in place of the words they cover.
  std::string transcript() const;
  // Sets up the keyphrase search for `phrases`, unless it already is. False when none of them
  // can be searched for.
  bool useKeyphrases(const std::vector<Keyphrase>& phrases);
  // Adds the words of `pronunciations` that the decoders do not know yet to both.
  void usePronunciations(const std::vector<Pronunciation>& pronunciations);
  // The request's audio, cleaned of noise if it asks for that: `pcm` itself, or the
  // suppressor's output in `suppressed_`.
  std::pair<const std::int16_t*, std::size_t> frontEnd(const RecognitionRequest&,
                                                       const std::int16_t* pcm,
                                                       std::size_t samples);

  const ModelFiles files_;
  const std::optional<audio::PcmFormat> model_format_;  // none when loading failed
  const std::unique_ptr<Decoder> words_;                // language model: the honest transcription
  const std::unique_ptr<Decoder> phrases_;  // keyphrase spotting for the contextual strings
  const std::string load_error_;
  std::string phrases_in_use_;  // the keyphrase list the spotter searches now
  // The task being served: the phrases it wants spotted, whether any can be, and whether the
  // decoders are inside an utterance.
  std::vector<Keyphrase> wanted_;
  bool spotting_ = false;
  bool started_ = false;
  std::set<std::string> added_words_;  // spellings added from requests, "word(2)" included
  // Made at the first request that asks for it, then fed every such request's audio, so that
  // its estimate of the room's noise runs on from one request to the next.
  std::unique_ptr<audio::NoiseSuppressor> suppressor_;
  std::vector<std::int16_t> suppressed_;
  // Written by the worker only; atomic so that a stray reader elsewhere gets a torn-free value.
  std::atomic<std::uint64_t> samples_decoded_{0};

  std::thread thread_;
  std::mutex mutex_;  // guards the queue, stopping_ and current_
  std::condition_variable changed_;
  std::deque<std::shared_ptr<Task>> queue_;
  std::shared_ptr<Task> current_;
  bool stopping_ = false;
};

class Task : public RecognitionTask {
 public:
  Task(std::shared_ptr<RecognitionRequest> request, RecognitionHandler handler)
      : request_(std::move(request)), handler_(std::move(handler)) {}

  // Ending the request's audio wakes the worker if it waits for the next buffer; it then sees
  // the flag before it decodes anything more.
  void cancel() override {
    if (cancelled_.exchange(true)) return;
    request_->endAudio();
  }
  bool cancelled() const { return cancelled_.load(); }
  const RecognitionRequest& request() const { return *request_; }

  void report(std::shared_ptr<const RecognitionResult> result, std::shared_ptr<const Error> error) {
    handler_(std::move(result), std::move(error));
  }
  // After the last report: drops the handler, which may hold whoever holds this task.
  void finish() { handler_ = nullptr; }

 private:
  std::shared_ptr<RecognitionRequest> request_;
  RecognitionHandler handler_;
  std::atomic<bool> cancelled_{false};
};

void Worker::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    if (current_) current_->cancel();
  }
  changed_.notify_all();
  // The last holder of the recognizer may be a result handler, running on this very thread.
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else if (thread_.joinable()) {
    thread_.join();
  }
}

void Worker::begin(std::shared_ptr<Task> task) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(task));
  }
  changed_.notify_all();
}

void Worker::run() {
  for (;;) {
    std::shared_ptr<Task> task;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      // Tasks still queued when the recognizer goes are dropped unheard: whoever made their
      // handlers may be gone too. The one being served was cancelled by stop().
      if (stopping_) return;
      task = std::move(queue_.front());
      queue_.pop_front();
      current_ = task;
    }
    serve(*task);
    task->finish();
    std::lock_guard lock(mutex_);
    current_ = nullptr;
  }
}

bool Worker::useKeyphrases(const std::vector<Keyphrase>& phrases) {
  std::string list;
  for (const Keyphrase& phrase : phrases) {
    // The spotter's dictionary holds the wake words; other words are borrowed from the full one.
    bool pronounceable = true;
    for (const std::string& word : splitWords(phrase.words)) {
      char* known = ps_lookup_word(phrases_->get(), word.c_str());
      if (known) {
        std::free(known);
        continue;
      }
      char* phones = ps_lookup_word(words_->get(), word.c_str());
      if (!phones) {
        pronounceable = false;
        break;
      }
      int added = ps_add_word(phrases_->get(), word.c_str(), phones, 1);
      std::free(phones);
      if (added < 0) {
        throw Error(engineFailure("cannot add \"" + word + "\" to the keyphrase dictionary of " +
                                  files_.acoustic_model));
      }
    }
    if (pronounceable) list += keyphraseListLine(phrase);
  }
  if (list.empty()) return false;
  if (list == phrases_in_use_) return true;
  TempFile file(list);
  if (ps_set_kws(phrases_->get(), "contextual", file.path().c_str()) < 0 ||
      ps_set_search(phrases_->get(), "contextual") < 0) {
    throw Error(engineFailure("cannot search for the keyphrases in " + file.path()));
  }
  phrases_in_use_ = list;
  return true;
}

void Worker::usePronunciations(const std::vector<Pronunciation>& pronunciations) {
  std::vector<const Pronunciation*> fresh;
  for (const Pronunciation& p : pronunciations) {
    if (added_words_.contains(p.word)) continue;
    char* known = ps_lookup_word(words_->get(), p.word.c_str());
    std::free(known);
    // The model's own pronunciations stand; only words it lacks are added.
    if (known) continue;
    fresh.push_back(&p);
  }
  for (const Pronunciation* p : fresh) {
    // The language model's search is rebuilt once, with the last word.
    bool last = p == fresh.back();
    if (ps_add_word(words_->get(), p->word.c_str(), p->phones.c_str(), last) < 0) {
      throw Error(engineFailure("cannot add \"" + p->word + "\" (" + p->phones +
                                ") to the dictionary of " + files_.language_model));
    }
    if (ps_add_word(phrases_->get(), p->word.c_str(), p->phones.c_str(), last) < 0) {
      throw Error(engineFailure("cannot add \"" + p->word + "\" (" + p->phones +
                                ") to the keyphrase dictionary of " + files_.acoustic_model));
    }
    added_words_.insert(p->word);
  }
}

std::pair<const std::int16_t*, std::size_t> Worker::frontEnd(const RecognitionRequest& request,
                                                             const std::int16_t* pcm,
                                                             std::size_t samples) {
  audio::NoiseSuppressor::Engagement engagement = request.noiseSuppression();
  if (engagement == audio::NoiseSuppressor::Engagement::kNever) return {pcm, samples};
  if (!suppressor_) {
    audio::NoiseSuppressor::Settings settings;
    settings.sample_rate_hz = model_format_->sampleRate();
    suppressor_ = audio::NoiseSuppressor::make(settings);
    if (!suppressor_) {
      throw Error("cannot make a noise suppressor for " + model_format_->description());
    }
  }
  suppressor_->setEngagement(engagement);
  suppressed_.clear();
  suppressor_->process(pcm, samples, suppressed_);
  return {suppressed_.data(), suppressed_.size()};
}

void Worker::serve(Task& task) {
  samples_decoded_ = 0;
  if (task.cancelled()) {
    task.report(nullptr, std::make_shared<Error>(cancelledError()));
    return;
  }
  if (!loaded()) {
    task.report(nullptr, std::make_shared<Error>(load_error_));
    return;
  }
  const RecognitionRequest& request = task.request();
  try {
    usePronunciations(request.pronunciations());
    wanted_ = keyphrasesFor(request.contextualStrings(), request.phraseThreshold());
    spotting_ = useKeyphrases(wanted_);
    startUtterances();
    listen(task);
  } catch (const Error& error) {
    try {
      endUtterances();
    } catch (const Error&) {
      // The first failure is the one worth reporting.
    }
    task.report(nullptr, std::make_shared<Error>(error));
  }
}

void Worker::listen(Task& task) {
  const RecognitionRequest& request = task.request();
  RequestAudio converted(*model_format_);
  std::string text;
  bool heard_speech = false;
  runtime::Stream<std::shared_ptr<audio::PcmBuffer>> audio = request.audio();
  for (;;) {
    std::optional<std::shared_ptr<audio::PcmBuffer>> next = audio.waitNext();
    if (task.cancelled()) break;
    if (!next) return finish(task);
    std::span<const std::int16_t> pcm16 = converted.convert(*next);
    if (pcm16.empty()) continue;
    auto [pcm, samples] = frontEnd(request, pcm16.data(), pcm16.size());
    if (samples == 0) continue;
    decode(pcm, samples);
    bool in_speech = ps_get_in_speech(words_->get()) != 0;
    // The engine's end of speech ends the task: the language model's final hypothesis is only
    // made once the utterance is over.
    if (heard_speech && !in_speech) return finish(task);
    heard_speech = heard_speech || in_speech;
    std::string now = transcript();
    if (now == text) continue;
    text = std::move(now);
    if (request.shouldReportPartialResults()) {
      task.report(std::make_shared<RecognitionResult>(Transcription{text}, false), nullptr);
    }
  }
  endUtterances();
  task.report(nullptr, std::make_shared<Error>(cancelledError()));
}

void Worker::finish(Task& task) {
  endUtterances();
  task.report(std::make_shared<RecognitionResult>(Transcription{transcript()}, true), nullptr);
}

void Worker::startUtterances() {
  if (ps_start_utt(words_->get()) < 0) {
    throw Error(engineFailure("cannot start an utterance on " + files_.language_model));
  }
  if (spotting_ && ps_start_utt(phrases_->get()) < 0) {
    ps_end_utt(words_->get());
    throw Error(engineFailure("cannot start a keyphrase utterance on " + files_.acoustic_model));
  }
  started_ = true;
}

void Worker::endUtterances() {
  if (!started_) return;
  started_ = false;
  if (ps_end_utt(words_->get()) < 0) {
    throw Error(engineFailure("cannot end the utterance on " + files_.language_model));
  }
  if (spotting_ && ps_end_utt(phrases_->get()) < 0) {
    throw Error(engineFailure("cannot end the keyphrase utterance on " + files_.acoustic_model));
  }
}

void Worker::decode(const std::int16_t* pcm, std::size_t samples) {
  if (!words_->process(pcm, samples)) {
    throw Error(engineFailure("cannot decode audio with " + files_.language_model));
  }
  if (spotting_ && !phrases_->process(pcm, samples)) {
    throw Error(engineFailure("cannot spot keyphrases with " + files_.acoustic_model));
  }
  samples_decoded_ += samples;
}

std::string Worker::transcript() const {
  return composeTranscript(segments(words_->get()),
                           spotting_ ? segments(phrases_->get()) : std::vector<Segment>{}, wanted_);
}

class Recognizer : public PocketsphinxRecognizer {
 public:
  explicit Recognizer(std::shared_ptr<Worker> worker) : worker_(std::move(worker)) {}
  ~Recognizer() override { worker_->stop(); }

  bool supportsOnDeviceRecognition() const override { return worker_->loaded(); }

  std::shared_ptr<RecognitionTask> recognitionTask(std::shared_ptr<RecognitionRequest> request,
                                                   RecognitionHandler resultHandler) override {
    auto task = std::make_shared<Task>(std::move(request), std::move(resultHandler));
    worker_->begin(task);
    return task;
  }

  std::uint64_t taskSamplesDecoded() const override { return worker_->samplesDecoded(); }

 private:
  std::shared_ptr<Worker> worker_;
};

class Service : public RecognitionService {
 public:
  void requestAuthorization(std::function<void(AuthorizationStatus)> handler) override {
    // There is no speech permission to ask for here; the answer still comes from elsewhere, as
    // callers expect.
    std::thread([handler = std::move(handler)] {
      handler(AuthorizationStatus::authorized);
    }).detach();
  }

  std::shared_ptr<SpeechRecognizer> recognizerFor(const Locale& locale) override {
    std::optional<ModelFiles> files = ModelFiles::forLocale(locale);
    if (!files) return nullptr;
    // One recognizer per locale for the life of the process, so the model is loaded only once.
    std::lock_guard lock(mutex_);
    std::shared_ptr<PocketsphinxRecognizer>& recognizer = recognizers_[locale.identifier];
    if (!recognizer) recognizer = PocketsphinxRecognizer::make(*files);
    return recognizer;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<PocketsphinxRecognizer>> recognizers_;
};

}  // namespace

std::shared_ptr<PocketsphinxRecognizer> PocketsphinxRecognizer::make(const ModelFiles& files) {
  std::unique_ptr<Decoder> words;
  std::unique_ptr<Decoder> phrases;
  std::optional<audio::PcmFormat> model_format;
  std::string load_error;
  try {
    model_format = modelAudioFormat(files);
    words = loadDecoder(files, liveDecoderOptions(), kListeningVocabulary);
    // The spotter starts with no words and no search: requests bring the words to look for, and
    // those that are not the language model's own bring their pronunciations.
    phrases = loadDecoder(files, {}, 0);
  } catch (const Error& error) {
    model_format.reset();
    words.reset();
    phrases.reset();
    load_error = error.what();
  }
  auto worker = std::make_shared<Worker>(files, std::move(model_format), std::move(words),
                                         std::move(phrases), load_error);
  worker->start();
  return std::make_shared<Recognizer>(std::move(worker));
}

std::uint64_t recognizerDecoderLoads() { return decoder_loads.load(); }

RecognitionService& pocketsphinxRecognitionService() {
  // Never destroyed: the worker threads of its recognizers may still be serving when the process
  // exits, and joining them from a static destructor could wait on a handler forever.
  static Service* service = new Service;
  return *service;
}

}  // namespace speech
