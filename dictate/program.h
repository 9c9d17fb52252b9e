// The dictation program's process-wide state, set once by the main task in this order.
#pragma once

#include <memory>
#include <string>

#include "platform/audio/format.h"
#include "platform/runtime/stream.h"
#include "platform/runtime/task.h"
#include "platform/speech/transcriber.h"

namespace dictate {

extern speech::Locale locale;
extern std::shared_ptr<speech::SpeechTranscriber> transcriber;
// 16000 Hz, mono, signed 16-bit integers: what the host writes on standard input.
extern audio::PcmFormat input;
extern std::unique_ptr<speech::SpeechAnalyzer> analyzer;
// The reader thread yields into `feed`; the analyzer consumes `sound`. Never destroyed: exit()
// runs static destructors while the detached reader thread may still be yielding.
extern runtime::Stream<speech::AnalyzerInput>& sound;
extern runtime::Continuation<speech::AnalyzerInput>& feed;
// The committed transcript. Main loop only.
extern std::string done;
// The results task.
extern runtime::Task<> printer;

}  // namespace dictate
