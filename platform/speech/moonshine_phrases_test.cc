#include "platform/speech/moonshine_phrases.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/pcm_file.h"

namespace speech {
namespace {

// Spoken by flite, 16 kHz, with half a second of silence either side, as a microphone hears it.
std::vector<std::int16_t> say(const std::string& text, const std::string& voice) {
  std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("phrases-test-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::string raw = (dir / "raw.wav").string(), wav = (dir / "speech.wav").string();
  std::string command = "flite -voice " + voice + " -t '" + text + "' -o '" + raw + "' && sox '" +
                        raw + "' -r 16000 -c 1 -b 16 -e signed-integer '" + wav + "' pad 0.5 0.5";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  std::vector<std::int16_t> samples = testing_support::readPcm(wav);
  std::filesystem::remove_all(dir);
  return samples;
}

class MoonshinePhrasesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    model_ = MoonshinePhrases::load(
        moonshine::NeuralModelFiles::inDirectory(VORLIN_MOONSHINE_MODEL_DIR));
  }
  static void TearDownTestSuite() { model_.reset(); }

  // The best score of each phrase in any window the spotter hears, as the listener hears them.
  static std::vector<float> best(const std::vector<std::int16_t>& audio) {
    std::vector<std::string> phrases = {"Hey Vorlin", "Vorlin"};
    std::unique_ptr<PhraseEngine> engine = model_->engine(phrases);
    // Thresholds no score reaches: every window is heard to its end.
    PhraseSpotter spotter(*engine, {1.0f, 1.0f});
    std::vector<float> top(phrases.size(), -1e30f);
    for (const auto& heard : spotter.push(audio)) {
      for (std::size_t p = 0; p < top.size(); ++p) top[p] = std::max(top[p], heard.scores[p]);
    }
    return top;
  }
  static float bestOfAll(const std::vector<std::int16_t>& audio) {
    std::vector<float> top = best(audio);
    return *std::max_element(top.begin(), top.end());
  }

  static std::shared_ptr<const MoonshinePhrases> model_;
};

std::shared_ptr<const MoonshinePhrases> MoonshinePhrasesTest::model_;

TEST_F(MoonshinePhrasesTest, ThePhraseSaidScoresFarAboveWordsThatSoundLikeIt) {
  // Said mid-utterance, after "Okay then": found where the reading puts it, after a comma.
  float said = bestOfAll(say("Okay then, hey Vorlin, can you open my calendar?", "kal16"));
  float near_miss = bestOfAll(say("Hey Marlin, what is the weather like today?", "kal16"));
  float other = bestOfAll(say("The weather will be warm and sunny tomorrow.", "kal16"));
  EXPECT_GT(said, -10.0f);
  EXPECT_GT(said, near_miss + 8.0f);
  EXPECT_GT(said, other + 8.0f);
}

TEST_F(MoonshinePhrasesTest, TheNameInsideALongerWordHoldsOnlyUntilTheWordGoesOn) {
  std::vector<std::int16_t> audio = say("Vorlington is a small town by the sea.", "kal16");
  std::vector<std::string> phrases = {"Vorlin"};
  std::unique_ptr<PhraseEngine> engine = model_->engine(phrases);
  PhraseSpotter spotter(*engine, {-10.0f});
  int spotted = 0;
  float last = 0;
  for (const auto& heard : spotter.push(audio)) {
    spotted += !heard.spotted.empty();
    last = heard.scores[0];
  }
  EXPECT_EQ(spotted, 0);
  // Heard whole, the word is plainly not the name.
  EXPECT_LT(last, -14.0f);
}

TEST_F(MoonshinePhrasesTest, PhrasesWithoutTokensAndAudioWithoutSpeechScoreNothing) {
  std::unique_ptr<PhraseEngine> engine = model_->engine({"", "Vorlin"});
  std::vector<float> none(16000 * 2, 0.0f);
  PhraseHearing heard = engine->hear(none, {});
  ASSERT_EQ(heard.scores.size(), 2u);
  EXPECT_LT(heard.scores[0], -1e29f);  // an empty phrase is never found
  EXPECT_LT(heard.scores[1], -14.0f);  // silence is not the name
  EXPECT_TRUE(engine->hear({}, {}).tokens.empty());

  // Full-scale clipped noise, and a phrase far longer than any window holds.
  std::vector<float> clipped(16000 * 3);
  for (std::size_t i = 0; i < clipped.size(); ++i) clipped[i] = (i * 7919 % 13) < 6 ? 1.0f : -1.0f;
  std::unique_ptr<PhraseEngine> long_phrase =
      model_->engine({std::string(2000, 'a') + " Vorlin", "Vorlin"});
  PhraseHearing loud = long_phrase->hear(clipped, {});
  ASSERT_EQ(loud.scores.size(), 2u);
  EXPECT_LT(loud.scores[1], -14.0f);
}

}  // namespace
}  // namespace speech
