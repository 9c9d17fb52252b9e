#include "platform/speech/moonshine/model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/speech/error.h"
#include "tests/support/pcm_file.h"
#include "tests/support/temp_dir.h"

namespace speech::moonshine {
namespace {

namespace fs = std::filesystem;

const std::string kModelDir = VORLIN_MOONSHINE_MODEL_DIR;
const std::string kEncoder = kModelDir + "/encoder_model.onnx";
const std::string kDecoder = kModelDir + "/decoder_model_merged.onnx";
const std::string kTestData = "/usr/share/pocketsphinx/test/data";

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

std::vector<float> recording(const std::string& name) {
  return testing_support::toFloat(testing_support::readPcm(kTestData + "/" + name));
}

std::string loadError(const std::string& encoder, const std::string& decoder) {
  try {
    Model::load(encoder, decoder);
  } catch (const Error& e) {
    return e.what();
  }
  return "(loaded)";
}

TEST(MoonshineLoad, ErrorsNameTheFileAndTheFault) {
  testing_support::TempDir dir("vorlin-moonshine");
  std::ifstream in(kEncoder, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  const std::string missing = (dir.path() / "absent.onnx").string();
  const std::string empty = dir.write("empty.onnx", "");
  const std::string garbage =
      dir.write("garbage.onnx", std::string("\xff\xff\xff\xff not a model", 17));
  const std::string cut = dir.write("cut.onnx", bytes.substr(0, bytes.size() / 2));
  struct Case {
    std::string encoder, decoder, named, fault;
  };
  const Case cases[] = {
      {missing, kDecoder, missing, "No such file"},
      {kEncoder, empty, empty, "empty"},
      {garbage, kDecoder, garbage, "not an ONNX model"},
      // A sound ONNX file that is not the expected half of the model.
      {kDecoder, kDecoder, kDecoder, "weight missing"},
      // The encoder cut short: it no longer parses.
      {cut, kDecoder, cut, ""},
  };
  for (const Case& c : cases) {
    std::string message = loadError(c.encoder, c.decoder);
    EXPECT_NE(message.find(c.named), std::string::npos) << message;
    EXPECT_NE(message.find(c.fault), std::string::npos) << message;
  }
}

class Moonshine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { model_ = Model::load(kEncoder, kDecoder); }
  static void TearDownTestSuite() { model_.reset(); }
  static std::unique_ptr<Model> model_;
};
std::unique_ptr<Model> Moonshine::model_;

TEST_F(Moonshine, HostileSegmentsGiveBoundedTokens) {
  Session session(*model_);
  // Too short for one frame of the encoder: no tokens.
  std::vector<float> speech = recording("cards/001.wav");
  EXPECT_TRUE(session.transcribe({}).empty());
  EXPECT_TRUE(session.transcribe(std::span(speech).first(kMinEncoderSamples - 1)).empty());
  EXPECT_LE(session.transcribe(std::span(speech).first(kMinEncoderSamples)).size(),
            maxTokens(kMinEncoderSamples));

  std::vector<float> silence(kSampleRateHz, 0.0f);
  EXPECT_LE(session.transcribe(silence).size(), maxTokens(silence.size()));

  // Clipped full-scale noise.
  std::mt19937 random(7);
  std::vector<float> noise(2 * kSampleRateHz);
  for (float& x : noise) x = random() % 2 ? 1.0f : -1.0f;
  EXPECT_LE(session.transcribe(noise).size(), maxTokens(noise.size()));

  // Values no recording has: they are clipped to [-1, 1], and not-a-number reads as silence.
  std::vector<float> odd = speech, cleaned = speech;
  for (std::size_t i = 0; i < odd.size(); i += 97) {
    odd[i] = std::numeric_limits<float>::quiet_NaN();
    cleaned[i] = 0.0f;
  }
  for (std::size_t i = 50; i < odd.size(); i += 89) {
    odd[i] = i % 2 ? std::numeric_limits<float>::infinity() : -1e30f;
    cleaned[i] = i % 2 ? 1.0f : -1.0f;
  }
  EXPECT_EQ(session.transcribe(odd), session.transcribe(cleaned));
}

TEST_F(Moonshine, LongerThanTheModelIsCutTo30Seconds) {
  if (kSanitized) GTEST_SKIP() << "two 30 s segments take minutes under the sanitizers";
  std::vector<float> audio;
  while (audio.size() < 35 * kSampleRateHz)
    for (const char* clip : {"0870", "0880", "0890", "0920", "0930"}) {
      std::vector<float> part =
          recording(std::string("librivox/sense_and_sensibility_01_austen_64kb-") + clip + ".wav");
      audio.insert(audio.end(), part.begin(), part.end());
    }
  audio.resize(35 * kSampleRateHz);
  Session session(*model_);
  std::vector<std::int32_t> tokens = session.transcribe(audio);
  EXPECT_FALSE(tokens.empty());
  EXPECT_LE(tokens.size(), maxTokens(kMaxSegmentSamples));
  EXPECT_EQ(tokens, session.transcribe(std::span(audio).first(kMaxSegmentSamples)));
}

TEST_F(Moonshine, CachedStepsGiveTheLogitsOfOneBatchedPass) {
  std::vector<float> audio = recording("something.raw");
  Encoder::Scratch scratch;
  std::vector<float> encoded;
  model_->encoder().encode(audio, scratch, encoded);
  int frames = static_cast<int>(encoderFrames(audio.size()));
  const Decoder& decoder = model_->decoder();
  std::vector<std::int32_t> tokens{kStartToken, 2921, 9051, 322, 437};

  // One token at a time through the key/value cache...
  Decoder::State state;
  decoder.start(encoded.data(), frames, state);
  std::vector<float> stepped, logits;
  for (std::int32_t token : tokens) {
    decoder.step({&token, 1}, state, logits);
    stepped.insert(stepped.end(), logits.begin(), logits.end());
  }
  // ... and all at once, recomputing every position.
  Decoder::State fresh;
  decoder.start(encoded.data(), frames, fresh);
  std::vector<float> batched;
  decoder.step(tokens, fresh, batched);
  // Bit for bit: the prefix a dictation feeds back must lead to the greedy choice exactly.
  EXPECT_EQ(batched, stepped);

  // Truncating the cache forgets the later tokens: stepping again from position 3 repeats.
  Decoder::truncate(state, 3);
  std::vector<std::int32_t> rest(tokens.begin() + 3, tokens.end());
  decoder.step(rest, state, logits);
  EXPECT_TRUE(std::equal(logits.begin(), logits.end(), stepped.begin() + 3 * kVocabulary));
}

TEST_F(Moonshine, PrefixKeptWhereItIsTheGreedyChoice) {
  std::vector<float> audio = recording("something.raw");
  Session session(*model_);
  std::vector<std::int32_t> greedy = session.transcribe(audio);
  ASSERT_GE(greedy.size(), 4u);

  // The whole answer, a beginning of it, and a beginning with a wrong token all lead back to it.
  EXPECT_EQ(session.transcribe(audio, greedy), greedy);
  EXPECT_EQ(session.transcribe(audio, std::span(greedy).first(2)), greedy);
  std::vector<std::int32_t> wrong = greedy;
  wrong[2] = greedy[2] + 1;
  EXPECT_EQ(session.transcribe(audio, wrong), greedy);

  // Tokens the model cannot give (out of range, the end token) and more tokens than the audio
  // allows are no harm.
  std::vector<std::int32_t> hostile{greedy[0], -5, kVocabulary, kEndToken};
  EXPECT_EQ(session.transcribe(audio, hostile), greedy);
  std::vector<std::int32_t> endless(500, greedy[0]);
  EXPECT_EQ(session.transcribe(audio, endless), greedy);
  std::vector<std::int32_t> with_end = greedy;
  with_end.insert(with_end.end(), {kEndToken, 5, 6});
  EXPECT_EQ(session.transcribe(audio, with_end), greedy);

  // A prefix from a shorter beginning of the segment.
  std::vector<float> half(audio.begin(), audio.begin() + audio.size() / 2);
  std::vector<std::int32_t> early = session.transcribe(half);
  EXPECT_EQ(session.transcribe(audio, early), greedy);
}

// A dictation reads segment after segment through one session, each again and again as it
// grows: what the session holds is set by the longest, whatever came before or after.
TEST_F(Moonshine, ScratchIsSizedByTheLongestInputNotByHowMany) {
  std::vector<float> longest = recording("librivox/sense_and_sensibility_01_austen_64kb-0870.wav");
  std::vector<float> other = recording("something.raw");
  std::vector<float> beginning(longest.begin(), longest.begin() + longest.size() / 2);
  const std::vector<std::int32_t> other_alone = Session(*model_).transcribe(other);
  Session session(*model_);
  // Read as dictation reads it: a beginning, then the whole building on that.
  std::vector<std::int32_t> heard = session.transcribe(longest, session.transcribe(beginning));
  std::size_t held = session.scratchBytes();
  // At least the cross keys and values of its 7 s.
  EXPECT_GT(held,
            Decoder::crossFloats(static_cast<int>(encoderFrames(longest.size()))) * sizeof(float));
  for (int segment = 0; segment < 4; ++segment) {
    SCOPED_TRACE(segment);
    std::vector<std::int32_t> early = session.transcribe(std::span(other).first(other.size() / 2));
    // A shorter reading after a longer one: nothing of the longer one's is left to spoil it.
    EXPECT_EQ(session.transcribe(other, early), other_alone);
    // The same longest input again, building on a reading of its beginning and on its own.
    EXPECT_EQ(session.transcribe(longest, session.transcribe(beginning)), heard);
    EXPECT_EQ(session.transcribe(longest, heard), heard);
    EXPECT_EQ(session.scratchBytes(), held);
  }
}

// The encoder's activations and the cross keys and values of a long segment are each about as
// large as the rest of a session together: a session holds one buffer for both, not two.
TEST_F(Moonshine, EncoderAndCrossAttentionTakeTurnsInOneBuffer) {
  std::vector<float> audio = recording("librivox/sense_and_sensibility_01_austen_64kb-0870.wav");
  Session session(*model_);
  session.transcribe(audio);

  Encoder::Scratch scratch;
  std::vector<float> encoded;
  model_->encoder().encode(audio, scratch, encoded);
  Decoder::State state;
  model_->decoder().start(encoded.data(), static_cast<int>(encoderFrames(audio.size())), state);
  EXPECT_LT(session.scratchBytes(), scratch.bytes() + state.bytes());
}

// A reading given up part way, in the encoder or in the decoder, leaves the session as whole
// as a finished one: its next reading is a fresh session's, in as much memory.
TEST_F(Moonshine, AReadingGivenUpPartWayLeavesTheSessionWhole) {
  std::vector<float> audio = recording("something.raw");
  Session fresh(*model_);
  std::vector<std::int32_t> greedy = fresh.transcribe(audio);
  ASSERT_GE(greedy.size(), 4u);
  // Asked before the second convolution and each of the 6 layers, before the prefix, then
  // before each step.
  struct Case {
    int answers_no;  // times `moot` says no before it says yes
    bool finished;
  };
  for (Case c :
       {Case{0, false}, Case{3, false}, Case{7, false}, Case{10, false}, Case{1000, true}}) {
    SCOPED_TRACE(c.answers_no);
    Session session(*model_);
    int asked = 0;
    std::optional<std::vector<std::int32_t>> got =
        session.transcribeUnless(audio, {}, [&] { return asked++ >= c.answers_no; });
    EXPECT_EQ(got.has_value(), c.finished);
    if (got) {
      EXPECT_EQ(*got, greedy);
    }
    EXPECT_EQ(session.transcribe(audio), greedy);
    EXPECT_EQ(session.scratchBytes(), fresh.scratchBytes());
  }
}

TEST_F(Moonshine, SessionsAreIndependentAndReusable) {
  std::vector<float> a = recording("something.raw"), b = recording("cards/001.wav");
  Session first(*model_);
  std::vector<std::int32_t> tokens_a = first.transcribe(a);
  std::vector<std::int32_t> tokens_b = first.transcribe(b);
  EXPECT_NE(tokens_a, tokens_b);
  EXPECT_EQ(first.transcribe(a), tokens_a);
  // Its scratch, split for one thread, serves two and then one again.
  first.setThreads(2);
  EXPECT_EQ(first.transcribe(b), tokens_b);
  first.setThreads(1);
  EXPECT_EQ(first.transcribe(a), tokens_a);

  // Two sessions on two threads share the model; a session with two threads of its own agrees.
  std::vector<std::int32_t> parallel_a, parallel_b;
  std::thread other([&] {
    Session second(*model_, 2);
    parallel_a = second.transcribe(a);
  });
  Session third(*model_);
  parallel_b = third.transcribe(b);
  other.join();
  EXPECT_EQ(parallel_a, tokens_a);
  EXPECT_EQ(parallel_b, tokens_b);
}

}  // namespace
}  // namespace speech::moonshine
