// The dictation program's state, filled in by the main task in this order.
#pragma once

#include <memory>
#include <string>

#include "dictate/reader.h"
#include "platform/audio/format.h"
#include "platform/runtime/stream.h"
#include "platform/runtime/task.h"
#include "platform/speech/transcriber.h"

namespace dictate {

// Owned by main() for the life of the process; the exit that ends it destroys it, which joins the
// analyzer's thread. The detached reader thread yields into a copy of `feed` of its own, which
// outlives this one.
struct Program {
  speech::Locale locale;
  std::shared_ptr<speech::SpeechTranscriber> transcriber;
  // What the host writes on standard input.
  audio::PcmFormat input = inputFormat();
  std::unique_ptr<speech::SpeechAnalyzer> analyzer;
  // The reader thread yields into `feed`; the analyzer consumes `sound`.
  runtime::Stream<speech::AnalyzerInput> sound;
  runtime::Continuation<speech::AnalyzerInput> feed;
  // The committed transcript. Main loop only.
  std::string done;
  // The results task.
  runtime::Task<> printer;
};

}  // namespace dictate
