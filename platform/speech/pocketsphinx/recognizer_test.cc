#include "platform/speech/pocketsphinx/recognizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio/converter.h"
#include "platform/speech/pocketsphinx/keyphrase_spotting.h"
#include "tests/support/pcm_file.h"
#include "tests/support/temp_dir.h"

namespace speech {
namespace {

TEST(KeyphraseSpottingTest, ContextualStringsBecomeSearchablePhrases) {
  std::vector<std::string> contextual = {"Hey Vorlin", "VORLIN!", "  hey,  VORLIN ", "...",
                                         "Don't stop"};
  std::vector<Keyphrase> phrases = keyphrasesFor(contextual, 1e-15);
  // A lone word matches by chance too often to be spotted; duplicates are searched once.
  ASSERT_EQ(phrases.size(), 2u);
  EXPECT_EQ(phrases[0].threshold, 1e-15);
  // No threshold: nothing is spotted, the language model hears the phrases like other words.
  EXPECT_TRUE(keyphrasesFor(contextual, 0).empty());
  EXPECT_EQ(phrases[0].text, "Hey Vorlin");
  EXPECT_EQ(phrases[0].words, "hey vorlin");
  EXPECT_EQ(phrases[1].words, "don't stop");
  EXPECT_EQ(keyphraseListLine(phrases[0]).rfind("hey vorlin /", 0), 0u);
  EXPECT_EQ(keyphraseListLine(phrases[0]).back(), '\n');
}

TEST(KeyphraseSpottingTest, DetectionsReplaceOnlyTheWordsTheyCover) {
  std::vector<Keyphrase> phrases = keyphrasesFor({"Hey Vorlin", "Hey Vorlin please"}, 1e-15);
  std::vector<Segment> words = {{"<s>", 0, 10},    {"a", 11, 20},     {"marlin(2)", 21, 60},
                                {"<sil>", 61, 65}, {"what", 66, 80},  {"[NOISE]", 81, 85},
                                {"time", 86, 100}, {"</s>", 101, 110}};
  // Nothing spotted: the language model's words stand, fillers and alternate marks dropped.
  EXPECT_EQ(composeTranscript(words, {}, phrases), "a marlin what time");
  // The engine spells detections with a trailing space; a nested detection counts once.
  EXPECT_EQ(
      composeTranscript(words, {{"hey vorlin please ", 10, 85}, {"hey vorlin ", 10, 62}}, phrases),
      "Hey Vorlin please time");
  // A detection of a phrase this request did not ask for is not shown.
  EXPECT_EQ(composeTranscript(words, {{"hey marlin", 10, 62}}, phrases), "a marlin what time");
  // Two separate detections both appear, each in its place.
  EXPECT_EQ(composeTranscript(words, {{"hey vorlin", 12, 62}, {"hey vorlin", 84, 100}}, phrases),
            "Hey Vorlin what Hey Vorlin");
  EXPECT_EQ(composeTranscript({}, {}, phrases), "");
}

// Speech made for the test, as the microphone would hand it over.
class RecognizerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto files = ModelFiles::forLocale(Locale{"en-US"});
    ASSERT_TRUE(files);
    recognizer_ = PocketsphinxRecognizer::make(*files);
    ASSERT_TRUE(recognizer_->supportsOnDeviceRecognition());
  }
  static void TearDownTestSuite() { recognizer_.reset(); }

  static std::vector<int16_t> say(const std::string& text) {
    testing_support::TempDir dir("recognizer-test");
    std::filesystem::path wav = dir.path() / "speech.wav";
    std::string command = "flite -voice slt -t '" + text + "' -o '" + wav.string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return testing_support::readPcm(wav.string());
  }

  // 16 kHz speech as 44.1 kHz stereo float buffers of 1024 frames, with a second of silence
  // after it so that the engine can hear the speech end.
  static std::vector<std::shared_ptr<audio::PcmBuffer>> microphone(std::vector<int16_t> samples) {
    samples.resize(samples.size() + 16000, 0);
    audio::PcmFormat from(audio::SampleFormat::Int16, 16000, 1, true);
    audio::PcmFormat to(audio::SampleFormat::Float32, 44100, 2, true);
    auto converter = audio::Converter::create(from, to);
    auto input = audio::PcmBuffer::create(from, static_cast<std::uint32_t>(samples.size()));
    std::copy(samples.begin(), samples.end(), input->int16ChannelData()[0]);
    input->setFrameLength(static_cast<std::uint32_t>(samples.size()));
    std::vector<std::shared_ptr<audio::PcmBuffer>> buffers;
    bool given = false;
    for (;;) {
      auto out = audio::PcmBuffer::create(to, 1024);
      auto status =
          converter->convert(*out, nullptr, [&](std::uint32_t, audio::ConverterInputStatus* s) {
            *s = given ? audio::ConverterInputStatus::EndOfStream
                       : audio::ConverterInputStatus::HaveData;
            bool first = !given;
            given = true;
            return first ? input : nullptr;
          });
      if (out->frameLength() > 0) buffers.push_back(out);
      if (status != audio::ConverterStatus::HaveData) break;
    }
    return buffers;
  }

  // Every callback of one task, kept until the test looks.
  struct Calls {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> texts;
    std::vector<bool> finals;
    std::vector<std::string> errors;
    std::vector<std::thread::id> threads;
    bool ended = false;  // a final result or an error came

    RecognitionHandler handler() {
      return [this](std::shared_ptr<const RecognitionResult> result,
                    std::shared_ptr<const Error> error) {
        std::lock_guard lock(mutex);
        threads.push_back(std::this_thread::get_id());
        texts.push_back(result ? result->bestTranscription().formattedString : "");
        finals.push_back(result && result->isFinal());
        errors.push_back(error ? error->what() : "");
        ended = ended || error || (result && result->isFinal());
        changed.notify_all();
      };
    }
    void waitForEnd() {
      std::unique_lock lock(mutex);
      ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(60), [this] { return ended; }));
    }
  };

  static std::shared_ptr<RecognitionRequest> wakeRequest(
      audio::NoiseSuppressor::Engagement suppression = audio::NoiseSuppressor::Engagement::kNever) {
    auto request = std::make_shared<RecognitionRequest>();
    request->setNoiseSuppression(suppression);
    request->setRequiresOnDeviceRecognition(true);
    request->setShouldReportPartialResults(true);
    request->setContextualStrings({"Hey Vorlin", "Vorlin"});
    request->setPhraseThreshold(1e-15);
    // The recognizer knows no such word until a request says how it sounds.
    request->setPronunciations({{"vorlin", "V AO R L IH N"}, {"vorlin(2)", "V AO R L AH N"}});
    return request;
  }

  // Runs `buffers` to the end of their audio through `request` (a wake request when none is
  // given) and returns the callbacks.
  static std::shared_ptr<Calls> recognize(
      const std::vector<std::shared_ptr<audio::PcmBuffer>>& buffers,
      std::shared_ptr<RecognitionRequest> request = wakeRequest(),
      SpeechRecognizer* recognizer = recognizer_.get()) {
    auto calls = std::make_shared<Calls>();
    auto task = recognizer->recognitionTask(request, calls->handler());
    for (const auto& buffer : buffers) request->append(buffer);
    request->endAudio();
    calls->waitForEnd();
    return calls;
  }

  static bool anyContains(const std::vector<std::string>& texts, const std::string& word) {
    return std::any_of(texts.begin(), texts.end(), [&](std::string text) {
      std::transform(text.begin(), text.end(), text.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      return text.find(word) != std::string::npos;
    });
  }

  static inline std::shared_ptr<PocketsphinxRecognizer> recognizer_;
};

// Where in an utterance the name is said, in which voices, and that ordinary speech never wakes,
// is tests/wake_e2e.py's to check on the real program; here, the phrase through each way of
// suppressing noise.
TEST_F(RecognizerTest, WakePhraseIsFoundWithNoiseSuppressionOffAdaptiveOrAlways) {
  auto buffers = microphone(say("Hey Vorlin, what time is it?"));
  // Adaptive leaves quiet audio as it is; always cleans it, which must not lose the phrase.
  for (auto suppression :
       {audio::NoiseSuppressor::Engagement::kNever, audio::NoiseSuppressor::Engagement::kAdaptive,
        audio::NoiseSuppressor::Engagement::kAlways}) {
    auto calls = recognize(buffers, wakeRequest(suppression));
    EXPECT_TRUE(anyContains(calls->texts, "vorlin")) << static_cast<int>(suppression);
    for (const std::string& error : calls->errors) EXPECT_EQ(error, "");
  }
}

TEST_F(RecognizerTest, EndAudioGivesOneFinalResultLastOnTheRecognizersThread) {
  // A sentence with no pause in it, so the final comes from the end of the audio.
  std::vector<int16_t> samples = say("The meeting has been moved to Thursday.");
  auto buffers = microphone(std::vector<int16_t>(samples.begin(), samples.end()));
  buffers.resize(buffers.size() - 20);  // cut the trailing silence: the speech never ends itself
  auto calls = recognize(buffers);
  ASSERT_FALSE(calls->finals.empty());
  EXPECT_TRUE(calls->finals.back());
  // The final carries what was heard up to the end of the audio.
  EXPECT_TRUE(anyContains({calls->texts.back()}, "meeting")) << calls->texts.back();
  EXPECT_EQ(std::count(calls->finals.begin(), calls->finals.end(), true), 1);
  for (std::thread::id id : calls->threads) EXPECT_NE(id, std::this_thread::get_id());
}

TEST_F(RecognizerTest, CancelGivesOneErrorAndNothingAfter) {
  auto buffers = microphone(say("Please remember to water the plants while I am away."));
  auto calls = std::make_shared<Calls>();
  auto request = wakeRequest();
  auto task = recognizer_->recognitionTask(request, calls->handler());
  for (std::size_t i = 0; i < buffers.size() / 2; ++i) request->append(buffers[i]);
  task->cancel();
  task->cancel();
  calls->waitForEnd();
  // Audio after the cancel is not decoded, and the worker moves on to the next task only once
  // the cancelled one is over: when that one ends, the first can report nothing more.
  for (std::size_t i = buffers.size() / 2; i < buffers.size(); ++i) {
    request->append(buffers[i]);
  }
  request->endAudio();
  recognize(microphone(say("Hello.")));
  task->cancel();
  std::lock_guard lock(calls->mutex);
  ASSERT_FALSE(calls->errors.empty());
  EXPECT_EQ(calls->errors.back(), "recognition was cancelled");
  EXPECT_EQ(std::count_if(calls->errors.begin(), calls->errors.end(),
                          [](const std::string& e) { return !e.empty(); }),
            1);
  EXPECT_EQ(std::count(calls->finals.begin(), calls->finals.end(), true), 0);
}

TEST_F(RecognizerTest, NewTasksReuseTheLoadedModel) {
  const std::uint64_t loads = recognizerDecoderLoads();
  auto buffers = microphone(say("Hey Vorlin."));
  for (int i = 0; i < 3; ++i) recognize(buffers);
  EXPECT_EQ(recognizerDecoderLoads(), loads);
  // The service keeps one recognizer per locale, however often it is asked.
  RecognitionService& service = pocketsphinxRecognitionService();
  auto first = service.recognizerFor(Locale{"en-US"});
  const std::uint64_t after_first = recognizerDecoderLoads();
  EXPECT_EQ(service.recognizerFor(Locale{"en-US"}), first);
  EXPECT_EQ(recognizerDecoderLoads(), after_first);
}

TEST_F(RecognizerTest, AWordTheModelLacksIsHeardOnceARequestSaysHowItSounds) {
  auto files = ModelFiles::forLocale(Locale{"en-US"});
  ASSERT_TRUE(files);
  auto fresh = PocketsphinxRecognizer::make(*files);
  auto buffers = microphone(say("Hey Vorlin."));
  auto decode = [&](std::shared_ptr<RecognitionRequest> request) {
    auto calls = recognize(buffers, request, fresh.get());
    for (const std::string& error : calls->errors) EXPECT_EQ(error, "");
    return calls;
  };
  auto unknown = wakeRequest();
  unknown->setPronunciations({});
  EXPECT_FALSE(anyContains(decode(unknown)->texts, "vorlin"));
  EXPECT_TRUE(anyContains(decode(wakeRequest())->texts, "vorlin"));
  // Once added the word stays; a word the model knows keeps its own pronunciation.
  auto again = wakeRequest();
  again->setPronunciations({{"hey", "K AE T"}});
  auto calls = decode(again);
  EXPECT_TRUE(anyContains(calls->texts, "hey vorlin")) << calls->texts.back();
}

TEST(RecognitionServiceTest, MissingModelIsReportedNotUsed) {
  EXPECT_EQ(pocketsphinxRecognitionService().recognizerFor(Locale{"fr-FR"}), nullptr);

  auto files = ModelFiles::forLocale(Locale{"en-US"});
  ASSERT_TRUE(files);
  files->acoustic_model = "/nonexistent/vorlin-model";
  auto recognizer = PocketsphinxRecognizer::make(*files);
  EXPECT_FALSE(recognizer->supportsOnDeviceRecognition());
  std::promise<std::string> reported;
  auto request = std::make_shared<RecognitionRequest>();
  auto task = recognizer->recognitionTask(
      request, [&](std::shared_ptr<const RecognitionResult>, std::shared_ptr<const Error> error) {
        reported.set_value(error ? error->what() : "no error");
      });
  EXPECT_NE(reported.get_future().get().find("/nonexistent/vorlin-model"), std::string::npos);
}

TEST(RecognitionServiceTest, AuthorizationAnswersOnceFromAnotherThread) {
  std::promise<std::pair<AuthorizationStatus, std::thread::id>> answer;
  pocketsphinxRecognitionService().requestAuthorization([&](AuthorizationStatus status) {
    answer.set_value({status, std::this_thread::get_id()});  // a second call would throw
  });
  auto [status, thread] = answer.get_future().get();
  EXPECT_EQ(status, AuthorizationStatus::authorized);
  EXPECT_NE(thread, std::this_thread::get_id());
}

}  // namespace
}  // namespace speech
