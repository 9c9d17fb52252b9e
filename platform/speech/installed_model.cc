#include "platform/speech/installed_model.h"

#include <sys/stat.h>

namespace speech {

bool hasInstalledModel(const Locale& locale) {
  return Locale::fromPosixName(locale.identifier).identifier == "en-US";
}

bool isModelFilePresent(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0;
}

std::string missingModelFile(const std::string& path, const std::string& source) {
  return path + " is missing or empty; it comes with " + source;
}

}  // namespace speech
