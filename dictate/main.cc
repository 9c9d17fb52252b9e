#include "dictate/lifecycle.h"
#include "dictate/writer.h"
#include "platform/runtime/run_loop.h"
#include "platform/speech/moonshine_service.h"

int main() {
  static runtime::Task<> main_task;
  static std::unique_ptr<speech::SpeechService> service =
      speech::moonshineSpeechService(dictate::writeDictation, dictate::prepareWriter);
  static dictate::Program program;
  runtime::RunLoop::main().post(
      [] { main_task = dictate::dictate(program, *service, dictate::readStandardInput); });
  runtime::RunLoop::main().run();
  return 0;
}
