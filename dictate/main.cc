#include "dictate/lifecycle.h"
#include "platform/runtime/run_loop.h"
#include "platform/speech/transcriber.h"

int main() {
  static runtime::Task<> main_task;
  runtime::RunLoop::main().post([] {
    main_task = dictate::dictate(speech::moonshineSpeechService(), dictate::readStandardInput);
  });
  runtime::RunLoop::main().run();
  return 0;
}
