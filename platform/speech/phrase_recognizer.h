// A recognizer that spots each request's contextual strings as phrases in its audio: a partial
// result for every window of speech heard, whose text is the engine's reading of the window, or
// the contextual string itself where the window holds it at or above the request's threshold.
// A task ends when its request's audio ends (a final result) or when it is cancelled.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/speech/phrase_spotter.h"
#include "platform/speech/recognizer.h"

namespace speech {

// Makes the engine that scores `phrases`; called on the recognizer's thread whenever a request
// brings other phrases than the one before. Throws Error when it cannot.
using PhraseEngineFactory =
    std::function<std::unique_ptr<PhraseEngine>(const std::vector<std::string>& phrases)>;

// One thread serves every task. The voice segmenter's picture of the room, and the window of
// speech under way, run on from one task to the next, so a new cycle neither relearns the noise
// nor hears again what an earlier one spotted. With an empty `load_error` the recognizer is
// ready; otherwise supportsOnDeviceRecognition() is false and every task ends with that error.
std::shared_ptr<SFSpeechRecognizer> makePhraseRecognizer(PhraseEngineFactory make_engine,
                                                         std::string load_error,
                                                         PhraseSpotterOptions options = {});

}  // namespace speech
