#include "dictate/lifecycle.h"

#include <cstdlib>
#include <exception>
#include <thread>

#include "dictate/output.h"
#include "dictate/printer.h"
#include "dictate/program.h"

namespace dictate {

speech::Locale locale;
std::shared_ptr<speech::SpeechTranscriber> transcriber;
audio::PcmFormat input(audio::SampleFormat::Int16, 16000.0, 1, true);
std::unique_ptr<speech::SpeechAnalyzer> analyzer;
runtime::Stream<speech::AnalyzerInput>& sound = *new runtime::Stream<speech::AnalyzerInput>();
runtime::Continuation<speech::AnalyzerInput>& feed =
    *new runtime::Continuation<speech::AnalyzerInput>();
std::string done;
runtime::Task<> printer;

namespace {

const std::string kInstallFailed = "the speech model did not install: ";
const std::string kNoFormat = "no audio format for the speech model";

std::string describe(const std::exception& e) { return e.what(); }

}  // namespace

runtime::Task<> dictate(speech::SpeechService& speech, ReadFn read) {
  setUpOutput();

  std::optional<speech::Locale> supported =
      co_await speech.supportedLocale(speech::Locale::current());
  locale = supported.value_or(speech::Locale{"en-US"});
  std::set<speech::ReportingOption> reporting = {speech::ReportingOption::volatileResults,
                                                 speech::ReportingOption::fastResults};
  transcriber = speech.makeTranscriber(locale, {}, reporting, {});
  // Named, not braced in place: a temporary list must not live across a suspension.
  const speech::Modules modules = {transcriber};

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

  input = audio::PcmFormat(audio::SampleFormat::Int16, 16000.0, 1, true);
  std::optional<audio::PcmFormat> model = co_await speech.bestAvailableAudioFormat(modules);
  if (!model) fail(kNoFormat);
  std::shared_ptr<audio::Converter> converter = audio::Converter::create(input, *model);
  if (!converter) fail(kNoFormat);

  analyzer = speech.makeAnalyzer(modules);
  std::tie(sound, feed) = makeSound(*model);
  std::thread([model = *model, converter, read] { readAudio(model, converter, read); }).detach();
  done = "";
  printer = printResults();

  try {
    co_await analyzer->start(sound);
  } catch (const std::exception& e) {
    fail(describe(e));
  }
  try {
    co_await analyzer->finalizeAndFinishThroughEndOfInput();
  } catch (const std::exception& e) {
    fail(describe(e));
  }
  try {
    co_await printer;
  } catch (const std::exception& e) {
    fail(describe(e));
  }
  say(done);
  std::exit(0);
}

}  // namespace dictate
