#pragma once

#include "platform/runtime/task.h"

namespace dictate {

// The results task: one transcript line per result of `transcriber`, appending final texts to
// `done`. Ends when the results end, or with their error. Runs on the main loop.
runtime::Task<> printResults();

}  // namespace dictate
