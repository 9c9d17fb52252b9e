#include "platform/speech/moonshine/model_files.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/temp_dir.h"

namespace speech::moonshine {
namespace {

namespace fs = std::filesystem;
using ::testing::AllOf;
using ::testing::HasSubstr;

TEST(NeuralModelFilesTest, UsEnglishComesFromBesideTheProgram) {
  fs::path prefix = fs::read_symlink("/proc/self/exe").parent_path().parent_path();
  for (const char* tag : {"en-US", "en_US.UTF-8", "en-us"}) {
    std::optional<NeuralModelFiles> files = NeuralModelFiles::forLocale(Locale{tag});
    ASSERT_TRUE(files) << tag;
    fs::path dir = prefix / "share/vorlin-speech/moonshine-tiny";
    EXPECT_EQ(files->encoder, (dir / "encoder_model.onnx").string());
    EXPECT_EQ(files->decoder, (dir / "decoder_model_merged.onnx").string());
    EXPECT_EQ(files->tokenizer, (dir / "tokenizer.txt").string());
  }
  for (const char* tag : {"en-GB", "en", "de-DE", "und", "C", ""}) {
    EXPECT_FALSE(NeuralModelFiles::forLocale(Locale{tag})) << tag;
  }
  EXPECT_FALSE(NeuralModelFiles::inDirectory(VORLIN_MOONSHINE_MODEL_DIR).missingMessage());
}

// The build tree's model as symbolic links, to take files away from.
class ModelCopy {
 public:
  ModelCopy() {
    for (const char* name : {"encoder_model.onnx", "decoder_model_merged.onnx", "tokenizer.txt"}) {
      fs::create_symlink(fs::path(VORLIN_MOONSHINE_MODEL_DIR) / name, dir_.path() / name);
    }
  }
  std::string dir() const { return dir_.path().string(); }

 private:
  testing_support::TempDir dir_{"vorlin-moonshine"};
};

// A file removed, empty or cut short is checked on the real program by tests/dictate_e2e.py
// (hidden_model, hidden_vocabulary); here, the damages it cannot make there.
TEST(NeuralModelFilesTest, EachMissingOrEmptyFileIsNamedWithWhatInstallsIt) {
  using Damage = void (*)(const fs::path&);
  const std::vector<std::pair<const char*, Damage>> damages = {
      {"a directory",
       [](const fs::path& p) {
         fs::remove(p);
         fs::create_directory(p);
       }},
      {"a dangling link",
       [](const fs::path& p) {
         fs::remove(p);
         fs::create_symlink(p.string() + ".gone", p);
       }},
  };
  for (const auto& [how, damage] : damages) {
    for (std::string NeuralModelFiles::*file :
         {&NeuralModelFiles::encoder, &NeuralModelFiles::decoder, &NeuralModelFiles::tokenizer}) {
      ModelCopy copy;
      NeuralModelFiles files = NeuralModelFiles::inDirectory(copy.dir());
      ASSERT_FALSE(files.firstMissing()) << *files.firstMissing();
      damage(files.*file);
      EXPECT_EQ(files.firstMissing(), files.*file) << how;
      std::optional<std::string> message = files.missingMessage();
      ASSERT_TRUE(message) << how;
      EXPECT_THAT(*message, AllOf(HasSubstr(files.*file + " is missing or empty"),
                                  HasSubstr("vorlin-speech"), HasSubstr("scripts/fetch_models.sh")))
          << how;
    }
  }
}

}  // namespace
}  // namespace speech::moonshine
