#include "platform/audio/engine.h"
#include "platform/runtime/run_loop.h"
#include "platform/speech/recognizer.h"
#include "wake/wake.h"

int main() {
  runtime::RunLoop& loop = runtime::RunLoop::main();
  wake::start(
      speech::pocketsphinxRecognitionService(),
      [] { return audio::makePulseAudioEngine({.client = "vorlin-wake", .stream = "wake word"}); },
      loop);
  loop.run();
  return 0;
}
