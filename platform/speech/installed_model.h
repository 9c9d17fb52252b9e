// Rules every installed speech model follows, whichever engine reads it.
#pragma once

#include <string>

#include "platform/speech/locale.h"

namespace speech {

// Whether this platform installs a speech model for `locale`: US English, in any spelling of its
// tag ("en-US", "en_US.UTF-8").
bool hasInstalledModel(const Locale& locale);

// Whether the model file `path` is there: a regular file with content. An empty one (a broken
// install, a full disk) counts as missing, since the engines cannot load it and some would abort
// the process from deep inside their loaders.
bool isModelFilePresent(const std::string& path);

// The message for the model file `path` that is missing or empty; `source` says what brings it
// ("the Debian package pocketsphinx-en-us").
std::string missingModelFile(const std::string& path, const std::string& source);

}  // namespace speech
