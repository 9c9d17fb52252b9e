#pragma once

#include <string>

#include "platform/runtime/task.h"
#include "platform/speech/transcriber.h"

namespace dictate {

// The results task: one transcript line per result of `results`, appending final texts to
// `done`, which must outlive it. Ends when the results end, or with their error. Runs on the main
// loop.
runtime::Task<> printResults(runtime::Stream<speech::SpeechTranscriber::Result> results,
                             std::string& done);

}  // namespace dictate
