// Word error rate and speed of the dictation analyzer on the librivox clips of
// pocketsphinx-testdata, against the engine's own one-shot decode of each clip.
//
//   BUILD/bench/speech_wer [-name value ...]
//
// Extra arguments replace the dictation decoder options, for trying other settings. The clips
// are streamed one after another as one dictation, in buffers of 3200 samples, as fast as the
// analyzer takes them; and each on its own to a fresh analyzer, as a process per clip would.
// Check a setting that helps here on other speech too: 71 words are few (a lower language
// weight, -lw 5.5, gained six words here and lost twenty on 724 words of flite sentences).
#include <pocketsphinx.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "platform/runtime/run_loop.h"
#include "platform/speech/pocketsphinx_transcriber.h"
#include "tests/support/word_errors.h"

namespace {

const std::string kDir = "/usr/share/pocketsphinx/test/data/librivox/";

std::vector<int16_t> readWav(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  std::size_t data = bytes.find("data", 12);
  if (!in || data == std::string::npos) throw std::runtime_error("cannot read " + path);
  std::vector<int16_t> samples((bytes.size() - data - 8) / 2);
  std::memcpy(samples.data(), bytes.data() + data + 8, samples.size() * 2);
  return samples;
}

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string word; in >> word;) {
    if (word != "<s>" && word != "</s>" && word.front() != '(') out.push_back(word);
  }
  return out;
}

using testing_support::wordErrors;

double cpuSeconds() {
  timespec now;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return now.tv_sec + now.tv_nsec / 1e9;
}

std::string streamed(const std::vector<int16_t>& samples, speech::SpeechService& service) {
  std::string committed;
  runtime::RunLoop loop;
  auto body = [&]() -> runtime::Task<> {
    const speech::Locale us{"en-US"};
    const speech::Modules modules = {service.makeTranscriber(
        us, {}, {speech::ReportingOption::volatileResults, speech::ReportingOption::fastResults},
        {})};
    std::unique_ptr<speech::SpeechAnalyzer> analyzer = service.makeAnalyzer(modules);
    auto [sound, feed] = runtime::makeStream<speech::AnalyzerInput>();
    audio::AVAudioFormat format(audio::AVAudioCommonFormat::PCMFormatInt16, 16000, 1, true);
    for (std::size_t at = 0; at < samples.size(); at += 3200) {
      auto frames = static_cast<std::uint32_t>(std::min<std::size_t>(3200, samples.size() - at));
      auto buffer = audio::AVAudioPCMBuffer::initWithPCMFormat(format, frames);
      std::memcpy(buffer->int16ChannelData()[0], samples.data() + at, frames * 2);
      buffer->setFrameLength(frames);
      feed.yield(speech::AnalyzerInput(buffer));
    }
    feed.finish();
    runtime::Stream<speech::SpeechTranscriberResult> results = modules[0]->results();
    co_await analyzer->start(sound);
    co_await analyzer->finalizeAndFinishThroughEndOfInput();
    while (std::optional<speech::SpeechTranscriberResult> result = co_await results.next()) {
      if (result->isFinal) committed += result->text;
    }
    loop.stop();
  };
  runtime::Task<> task;
  loop.post([&] { task = body(); });
  loop.run();
  if (task.error()) std::rethrow_exception(task.error());
  return committed;
}

std::string oneShot(const std::vector<int16_t>& samples, const std::vector<std::string>& options) {
  std::unique_ptr<speech::Decoder> decoder =
      speech::makeDecoder(*speech::ModelFiles::forLocale(speech::Locale{"en-US"}), options);
  if (ps_start_utt(decoder->get()) < 0 ||
      ps_process_raw(decoder->get(), samples.data(), samples.size(), FALSE, TRUE) < 0 ||
      ps_end_utt(decoder->get()) < 0) {
    throw speech::Error("one-shot decode failed: " + speech::takeEngineMessages());
  }
  const char* hyp = ps_get_hyp(decoder->get(), nullptr);
  return speech::plainWords(hyp ? hyp : "");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> options = speech::liveDecoderOptions();
  if (argc > 1) options.assign(argv + 1, argv + argc);

  std::vector<std::string> reference, one_shot, per_clip;
  std::vector<int16_t> all;
  std::ifstream ids(kDir + "fileids"), transcription(kDir + "transcription");
  std::string id, line;
  double one_shot_cpu = 0;
  while (std::getline(ids, id) && std::getline(transcription, line)) {
    std::vector<int16_t> samples = readWav(kDir + id + ".wav");
    for (const std::string& word : words(line)) reference.push_back(word);
    double before = cpuSeconds();
    for (const std::string& word : words(oneShot(samples, options))) one_shot.push_back(word);
    one_shot_cpu += cpuSeconds() - before;
    // A fresh analyzer for each clip, as when each is dictated by a process of its own.
    speech::PocketsphinxSpeechService fresh(speech::ModelFiles::forLocale, options);
    for (const std::string& word : words(streamed(samples, fresh))) per_clip.push_back(word);
    all.insert(all.end(), samples.begin(), samples.end());
  }
  double audio_seconds = all.size() / 16000.0;

  speech::PocketsphinxSpeechService service(speech::ModelFiles::forLocale, options);
  double before = cpuSeconds();
  std::string text = streamed(all, service);
  double streamed_cpu = cpuSeconds() - before;
  std::vector<std::string> hyp = words(text);

  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  std::printf("audio: %.1f s, %zu reference words\n", audio_seconds, reference.size());
  std::printf("%-28s %8s %14s\n", "", "WER", "CPU/audio");
  std::printf("%-28s %7.1f%% %14.3f\n", "streamed analyzer",
              100.0 * wordErrors(reference, hyp) / reference.size(), streamed_cpu / audio_seconds);
  std::printf("%-28s %7.1f%%\n", "streamed, fresh per clip",
              100.0 * wordErrors(reference, per_clip) / reference.size());
  std::printf("%-28s %7.1f%% %14.3f\n", "one-shot per clip (engine)",
              100.0 * wordErrors(reference, one_shot) / reference.size(),
              one_shot_cpu / audio_seconds);
  std::printf("peak resident memory: %ld MB (both decoders, one after the other)\n",
              usage.ru_maxrss / 1024);
  std::printf("streamed text: %s\n", text.c_str());
}
