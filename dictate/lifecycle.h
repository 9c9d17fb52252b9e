#pragma once

#include "dictate/program.h"
#include "dictate/reader.h"
#include "platform/runtime/task.h"
#include "platform/speech/transcriber.h"

namespace dictate {

// The main task: sets up `program`, dictates until input read through `read` ends, writes the
// committed transcript and exits with status 0; any failure exits with status 1 through fail().
// Runs on RunLoop::main(), which must be served for the rest of the process's life, as `program`
// must last.
runtime::Task<> dictate(Program& program, speech::SpeechService& speech, ReadFn read);

}  // namespace dictate
