#include "platform/speech/moonshine/model_files.h"

#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "platform/speech/installed_model.h"

namespace speech::moonshine {
namespace {

constexpr char kModelDirectory[] = "share/vorlin-speech/moonshine-tiny";
constexpr char kPackagedPrefix[] = "/usr";

// The prefix the running executable is installed under: the parent of its directory.
std::filesystem::path installPrefix() {
  std::error_code error;
  std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error || !executable.is_absolute()) return kPackagedPrefix;
  return executable.parent_path().parent_path();
}

}  // namespace

std::optional<NeuralModelFiles> NeuralModelFiles::forLocale(const Locale& locale) {
  if (!hasInstalledModel(locale)) return std::nullopt;
  return inDirectory((installPrefix() / kModelDirectory).string());
}

NeuralModelFiles NeuralModelFiles::inDirectory(const std::string& directory) {
  return NeuralModelFiles{
      directory + "/encoder_model.onnx", directory + "/decoder_model_merged.onnx",
      directory + "/tokenizer.txt",
      "the package vorlin-speech (in a source tree, scripts/fetch_models.sh fetches it, and the "
      "build copies it)"};
}

std::optional<std::string> NeuralModelFiles::firstMissing() const {
  for (const std::string* path : {&encoder, &decoder, &tokenizer}) {
    if (!isModelFilePresent(*path)) return *path;
  }
  return std::nullopt;
}

std::optional<std::string> NeuralModelFiles::missingMessage() const {
  std::optional<std::string> missing = firstMissing();
  if (!missing) return std::nullopt;
  return missingModelFile(*missing, install_hint);
}

}  // namespace speech::moonshine
