#include "platform/speech/phrase_recognizer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace speech {
namespace {

using namespace std::chrono_literals;

// Scores phrase 0 by how many of the window's samples are loud: a stand-in for "the phrase is
// said" that the test controls by what it plays. Counts the engines made.
class LoudnessEngine : public PhraseEngine {
 public:
  PhraseHearing hear(std::span<const float> samples, const PhraseHearing&) override {
    std::size_t loud = 0;
    for (float x : samples) loud += std::fabs(x) > 0.1f;
    PhraseHearing heard;
    heard.text = "heard " + std::to_string(samples.size() / 1600) + " tenths";
    heard.scores = {static_cast<float>(loud) / 16000, -1e9f};
    return heard;
  }
};

// Every callback of one task.
struct Calls {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> texts;
  std::vector<bool> finals;
  std::vector<std::string> errors;
  bool ended = false;

  SFSpeechRecognitionResultHandler handler() {
    return [this](std::shared_ptr<const SFSpeechRecognitionResult> result,
                  std::shared_ptr<const Error> error) {
      std::lock_guard lock(mutex);
      if (result) {
        texts.push_back(result->bestTranscription().formattedString);
        finals.push_back(result->isFinal());
      }
      if (error) errors.push_back(error->what());
      ended = ended || error || (result && result->isFinal());
      changed.notify_all();
    };
  }
  void waitEnded() {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 60s, [this] { return ended; }));
  }
};

// 48 kHz stereo float buffers of 1024 frames, as the microphone delivers them: `seconds` of
// silence or of syllables of a loud tone (0.2 s on, 0.1 s off, which the segmenter takes for
// speech).
std::vector<std::shared_ptr<audio::AVAudioPCMBuffer>> microphone(double seconds, bool loud) {
  audio::AVAudioFormat format(audio::AVAudioCommonFormat::PCMFormatFloat32, 48000, 2, true);
  std::vector<std::shared_ptr<audio::AVAudioPCMBuffer>> buffers;
  auto frames = static_cast<std::size_t>(seconds * 48000);
  for (std::size_t at = 0; at < frames; at += 1024) {
    auto buffer = audio::AVAudioPCMBuffer::initWithPCMFormat(format, 1024);
    float* out = buffer->floatChannelData()[0];
    for (std::size_t i = 0; i < 1024; ++i) {
      double t = static_cast<double>(at + i) / 48000;
      float x = loud && std::fmod(t, 0.3) < 0.2
                    ? static_cast<float>(0.3 * std::sin(2 * M_PI * 440 * t))
                    : 0.0f;
      out[2 * i] = out[2 * i + 1] = x;
    }
    buffer->setFrameLength(1024);
    buffers.push_back(buffer);
  }
  return buffers;
}

std::shared_ptr<SFSpeechAudioBufferRecognitionRequest> request(float threshold) {
  auto made = std::make_shared<SFSpeechAudioBufferRecognitionRequest>();
  made->setContextualStrings({"Hey Vorlin", "Vorlin"});
  made->setContextualStringThreshold(threshold);
  return made;
}

void play(SFSpeechAudioBufferRecognitionRequest& into,
          std::initializer_list<std::pair<double, bool>> parts) {
  for (auto [seconds, loud] : parts) {
    for (auto& buffer : microphone(seconds, loud)) into.appendAudioPCMBuffer(buffer);
  }
}

std::shared_ptr<SFSpeechRecognizer> recognizer(int* engines_made = nullptr) {
  return makePhraseRecognizer(
      [engines_made](const std::vector<std::string>& phrases) -> std::unique_ptr<PhraseEngine> {
        EXPECT_EQ(phrases.size(), 2u);
        if (engines_made) ++*engines_made;
        return std::make_unique<LoudnessEngine>();
      },
      "");
}

TEST(PhraseRecognizerTest, ASpottedPhraseIsWrittenAsTheContextualStringThenTheTaskEnds) {
  int engines = 0;
  auto listener = recognizer(&engines);
  ASSERT_TRUE(listener->supportsOnDeviceRecognition());
  auto spoken = request(0.5f);  // half a second of loud syllables holds the phrase
  Calls calls;
  auto task = listener->recognitionTaskWithRequest(spoken, calls.handler());
  play(*spoken, {{1.0, false}, {1.2, true}, {1.0, false}});
  spoken->endAudio();
  calls.waitEnded();
  std::lock_guard lock(calls.mutex);
  ASSERT_GE(calls.texts.size(), 2u);
  // Readings of the window as it grew, then the phrase once it held, and no more of it.
  EXPECT_EQ(std::count(calls.texts.begin(), calls.texts.end(), "Hey Vorlin"), 1);
  EXPECT_EQ(calls.texts.front().rfind("heard ", 0), 0u);
  EXPECT_TRUE(calls.finals.back());
  EXPECT_EQ(std::count(calls.finals.begin(), calls.finals.end(), true), 1);
  EXPECT_TRUE(calls.errors.empty());

  // The next task with the same phrases runs on the same engine.
  auto next = request(0.5f);
  Calls more;
  listener->recognitionTaskWithRequest(next, more.handler());
  next->endAudio();
  more.waitEnded();
  EXPECT_EQ(engines, 1);
}

TEST(PhraseRecognizerTest, BelowTheThresholdTheReadingIsAllThatIsWritten) {
  auto listener = recognizer();
  auto spoken = request(100.0f);
  Calls calls;
  listener->recognitionTaskWithRequest(spoken, calls.handler());
  play(*spoken, {{0.5, false}, {1.2, true}, {1.0, false}});
  spoken->endAudio();
  calls.waitEnded();
  std::lock_guard lock(calls.mutex);
  ASSERT_FALSE(calls.texts.empty());
  for (const std::string& text : calls.texts) EXPECT_EQ(text.find("Vorlin"), std::string::npos);
}

TEST(PhraseRecognizerTest, CancelGivesOneErrorAndNothingAfter) {
  auto listener = recognizer();
  auto spoken = request(0.5f);
  Calls calls;
  auto task = listener->recognitionTaskWithRequest(spoken, calls.handler());
  play(*spoken, {{0.5, false}});
  task->cancel();
  task->cancel();
  calls.waitEnded();
  // Audio after the cancel reaches nobody.
  play(*spoken, {{1.2, true}});
  std::this_thread::sleep_for(100ms);
  std::lock_guard lock(calls.mutex);
  ASSERT_EQ(calls.errors.size(), 1u);
  EXPECT_EQ(calls.errors[0], "recognition was cancelled");
  EXPECT_EQ(std::count(calls.finals.begin(), calls.finals.end(), true), 0);
}

TEST(PhraseRecognizerTest, AModelThatDidNotLoadIsReportedByEveryTask) {
  auto listener = makePhraseRecognizer(
      [](const std::vector<std::string>&) -> std::unique_ptr<PhraseEngine> {
        ADD_FAILURE() << "no engine is made without a model";
        return nullptr;
      },
      "the model /nowhere/encoder_model.onnx is missing");
  EXPECT_FALSE(listener->supportsOnDeviceRecognition());
  Calls calls;
  listener->recognitionTaskWithRequest(request(0), calls.handler());
  calls.waitEnded();
  std::lock_guard lock(calls.mutex);
  ASSERT_EQ(calls.errors.size(), 1u);
  EXPECT_NE(calls.errors[0].find("/nowhere/encoder_model.onnx"), std::string::npos);
}

TEST(PhraseRecognizerTest, AnEngineThatFailsEndsTheTaskWithItsErrorAndTheNextTaskTriesAgain) {
  int attempts = 0;
  auto listener = makePhraseRecognizer(
      [&attempts](const std::vector<std::string>&) -> std::unique_ptr<PhraseEngine> {
        if (++attempts == 1) throw Error("the engine could not start");
        return std::make_unique<LoudnessEngine>();
      },
      "");
  Calls first;
  listener->recognitionTaskWithRequest(request(0), first.handler());
  first.waitEnded();
  {
    std::lock_guard lock(first.mutex);
    ASSERT_EQ(first.errors.size(), 1u);
    EXPECT_EQ(first.errors[0], "the engine could not start");
  }
  auto spoken = request(0.5f);
  Calls second;
  listener->recognitionTaskWithRequest(spoken, second.handler());
  spoken->endAudio();
  second.waitEnded();
  std::lock_guard lock(second.mutex);
  EXPECT_TRUE(second.errors.empty());
  EXPECT_EQ(attempts, 2);
}

}  // namespace
}  // namespace speech
