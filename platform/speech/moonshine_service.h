// Dictation on Moonshine tiny, written by the caller's writer.
#pragma once

#include <functional>
#include <memory>

#include "platform/speech/segmented_dictation.h"
#include "platform/speech/transcriber.h"

namespace speech {

// Dictation on the on-device neural model, Moonshine tiny, its text written by `writer`. Before
// the model loads, on the analyzer's thread, `prepare` (when given) readies what the writer reads
// and throws Error when that is missing, so that it fails the start rather than a result.
std::unique_ptr<SpeechService> moonshineSpeechService(DictationWriter writer,
                                                      std::function<void()> prepare = {});

}  // namespace speech
