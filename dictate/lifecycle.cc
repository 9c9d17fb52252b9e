#include "dictate/lifecycle.h"

#include <cstdlib>
#include <exception>
#include <thread>

#include "dictate/output.h"
#include "dictate/printer.h"
#include "dictate/program.h"

namespace dictate {

namespace {

const std::string kInstallFailed = "the speech model did not install: ";
const std::string kNoFormat = "no audio format for the speech model";

std::string describe(const std::exception& e) { return e.what(); }

}  // namespace

runtime::Task<> dictate(Program& program, speech::SpeechService& speech, ReadFn read) {
  setUpOutput();

  std::optional<speech::Locale> supported =
      co_await speech.supportedLocale(speech::Locale::current());
  program.locale = supported.value_or(speech::Locale{"en-US"});
  std::set<speech::ReportingOption> reporting = {speech::ReportingOption::volatileResults,
                                                 speech::ReportingOption::fastResults};
  program.transcriber = speech.makeTranscriber(program.locale, {}, reporting, {});
  // Named, not braced in place: a temporary list must not live across a suspension.
  const speech::Modules modules = {program.transcriber};

  std::unique_ptr<speech::AssetInstallationRequest> request;
  try {
    request = co_await speech.assetInstallationRequest(modules);
  } catch (const std::exception& e) {
    fail(kInstallFailed + describe(e));
  }
  if (request) {
    try {
      co_await request->downloadAndInstall();
    } catch (const std::exception& e) {
      fail(kInstallFailed + describe(e));
    }
    request.reset();
  }

  std::optional<audio::PcmFormat> model = co_await speech.bestAvailableAudioFormat(modules);
  if (!model) fail(kNoFormat);
  std::shared_ptr<audio::Converter> converter = audio::Converter::create(program.input, *model);
  if (!converter) fail(kNoFormat);

  program.analyzer = speech.makeAnalyzer(modules);
  std::tie(program.sound, program.feed) = makeSound(*model);
  std::thread([model = *model, converter, read, feed = program.feed] {
    readAudio(model, converter, read, feed);
  }).detach();
  program.done = "";
  program.printer = printResults(program.transcriber->results(), program.done);

  try {
    co_await program.analyzer->start(program.sound);
  } catch (const std::exception& e) {
    fail(describe(e));
  }
  try {
    co_await program.analyzer->finalizeAndFinishThroughEndOfInput();
  } catch (const std::exception& e) {
    fail(describe(e));
  }
  try {
    co_await program.printer;
  } catch (const std::exception& e) {
    fail(describe(e));
  }
  say(program.done);
  std::exit(0);
}

}  // namespace dictate
