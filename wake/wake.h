// The wake listener: start-up, the supervision timer and the chain of recognition cycles that
// write "wake" on stdout each time the assistant's name is heard.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <functional>
#include <memory>

#include "platform/audio/engine.h"
#include "platform/runtime/run_loop.h"
#include "platform/speech/recognizer.h"

namespace wake {

// Makes the microphone engine; called once per start(), on the main thread.
using EngineFactory = std::function<std::unique_ptr<audio::CaptureEngine>()>;
// Reads the parent process id; getppid() outside tests. Called on the main thread.
using ParentReader = std::function<pid_t()>;

// Runs start-up on the thread that serves `loop` and returns once permission has been asked; the
// rest of start-up, every cycle and the supervision timer then run as work on `loop`. Writes only
// "wake" lines on stdout and log lines on fd 2; ends the process with exit() on every start-up
// failure (statuses 1, 2, 3) and with status 0 when the parent has gone. `service` and `loop` are
// borrowed for the life of the process. A second call starts afresh, and may only be made once no
// callback of the first can arrive any more.
void start(speech::RecognitionService& service, EngineFactory make_engine, runtime::RunLoop& loop,
           ParentReader parent = ::getppid);

}  // namespace wake
