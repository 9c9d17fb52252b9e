// A speech service that follows a script, for driving the dictation program without a model.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/runtime/stream.h"
#include "platform/speech/transcriber.h"

namespace dictate::testing {

struct SpeechScript {
  std::optional<speech::Locale> supported = speech::Locale{"en-US"};
  std::optional<std::string> request_error;  // assetInstallationRequest throws this
  bool needs_install = false;                // answers a request instead of none
  std::optional<std::string> install_error;  // downloadAndInstall throws this
  std::optional<audio::PcmFormat> format =
      audio::PcmFormat(audio::SampleFormat::Int16, 16000.0, 1, true);
  std::optional<std::string> start_error;
  std::optional<std::string> finalize_error;
  // Delivered as soon as analysis starts, then `results_error` (if any) ends the results.
  std::vector<speech::SpeechTranscriberResult> early;
  std::optional<std::string> results_error;
  // Delivered once the input has ended, before finalization returns.
  std::vector<speech::SpeechTranscriberResult> late;
};

// What the program did with the service; read after the program's main task has run.
struct SpeechLog {
  std::optional<speech::Locale> transcriber_locale;
  std::set<speech::ReportingOption> reporting;
  bool installed = false;
  std::atomic<std::size_t> frames{0};
  std::atomic<std::size_t> inputs{0};
};

class ScriptedTranscriber : public speech::SpeechTranscriber {
 public:
  explicit ScriptedTranscriber(speech::Locale locale) : locale_(std::move(locale)) {
    std::tie(results_, deliver_) = runtime::makeStream<Result>();
  }
  const speech::Locale& locale() const override { return locale_; }
  runtime::Stream<Result> results() override { return results_; }
  runtime::Continuation<Result> deliver_;

 private:
  speech::Locale locale_;
  runtime::Stream<Result> results_;
};

class ScriptedAnalyzer : public speech::SpeechAnalyzer {
 public:
  ScriptedAnalyzer(const SpeechScript& script, SpeechLog& log,
                   std::shared_ptr<ScriptedTranscriber> transcriber)
      : script_(script), log_(log), transcriber_(std::move(transcriber)) {
    std::tie(ended_, end_) = runtime::makeStream<int>();
  }
  runtime::Task<> start(runtime::Stream<speech::AnalyzerInput> input) override {
    if (script_.start_error) throw speech::Error(*script_.start_error);
    for (const auto& r : script_.early) transcriber_->deliver_.yield(r);
    if (script_.results_error) {
      transcriber_->deliver_.finish(std::make_exception_ptr(speech::Error(*script_.results_error)));
    }
    // Detached at once, not when destroyed: a failure ends the process with _exit(), which
    // destroys nothing, and a thread neither joined nor detached then is a leak to ThreadSanitizer.
    std::thread([this, input] {
      while (std::optional<speech::AnalyzerInput> in = input.waitNext()) {
        log_.frames += in->buffer->frameLength();
        ++log_.inputs;
      }
      for (const auto& r : script_.late) transcriber_->deliver_.yield(r);
      end_.yield(0);
    }).detach();
    co_return;
  }

  runtime::Task<> finalizeAndFinishThroughEndOfInput() override {
    co_await ended_.next();
    if (script_.finalize_error) throw speech::Error(*script_.finalize_error);
    transcriber_->deliver_.finish();
  }

 private:
  const SpeechScript& script_;
  SpeechLog& log_;
  std::shared_ptr<ScriptedTranscriber> transcriber_;
  runtime::Stream<int> ended_;
  runtime::Continuation<int> end_;
};

class ScriptedInstall : public speech::AssetInstallationRequest {
 public:
  ScriptedInstall(const SpeechScript& script, SpeechLog& log) : script_(script), log_(log) {}
  runtime::Task<> downloadAndInstall() override {
    if (script_.install_error) throw speech::Error(*script_.install_error);
    log_.installed = true;
    co_return;
  }

 private:
  const SpeechScript& script_;
  SpeechLog& log_;
};

class ScriptedSpeech : public speech::SpeechService {
 public:
  explicit ScriptedSpeech(SpeechScript script) : script_(std::move(script)) {}
  SpeechLog log;

  runtime::Task<std::optional<speech::Locale>> supportedLocale(const speech::Locale&) override {
    co_return script_.supported;
  }
  std::shared_ptr<speech::SpeechTranscriber> makeTranscriber(
      const speech::Locale& locale, std::set<speech::TranscriptionOption>,
      std::set<speech::ReportingOption> reporting, std::set<speech::AttributeOption>) override {
    log.transcriber_locale = locale;
    log.reporting = reporting;
    transcriber_ = std::make_shared<ScriptedTranscriber>(locale);
    return transcriber_;
  }
  runtime::Task<std::unique_ptr<speech::AssetInstallationRequest>> assetInstallationRequest(
      const speech::Modules&) override {
    if (script_.request_error) throw speech::Error(*script_.request_error);
    if (!script_.needs_install) co_return nullptr;
    co_return std::make_unique<ScriptedInstall>(script_, log);
  }
  runtime::Task<std::optional<audio::PcmFormat>> bestAvailableAudioFormat(
      const speech::Modules&) override {
    co_return script_.format;
  }
  std::unique_ptr<speech::SpeechAnalyzer> makeAnalyzer(const speech::Modules&) override {
    return std::make_unique<ScriptedAnalyzer>(script_, log, transcriber_);
  }

 private:
  SpeechScript script_;
  std::shared_ptr<ScriptedTranscriber> transcriber_;
};

}  // namespace dictate::testing
