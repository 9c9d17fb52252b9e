#include "platform/speech/pocketsphinx/model.h"

#include <errno.h>  // program_invocation_short_name
#include <malloc.h>
#include <pocketsphinx.h>
#include <sphinxbase/cmn.h>
#include <sphinxbase/err.h>
#include <sphinxbase/feat.h>
#include <sphinxbase/ngram_model.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <numeric>
#include <optional>
#include <sstream>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/runtime/memory.h"
#include "platform/speech/installed_model.h"
#include "platform/speech/pocketsphinx/engine_words.h"

namespace speech {
namespace {

constexpr char kModelRoot[] = "/usr/share/pocketsphinx/model";

// The engine reports through one process-wide callback; each thread keeps what was reported
// while it was calling the engine, so two decoders on two threads never mix their messages.
thread_local std::string t_engine_messages;

void keepEngineMessage(void*, err_lvl_t level, const char* format, ...) {
  if (level < ERR_WARN) return;
  char text[1024];
  va_list args;
  va_start(args, format);
  int written = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (written < 0) return;
  // Messages come with line breaks of their own, even in the middle.
  std::string message;
  for (char c : std::string_view(text)) {
    bool space = c == '\n' || c == ' ' || c == '\t';
    if (space && (message.empty() || message.back() == ' ')) continue;
    message += space ? ' ' : c;
  }
  if (!message.empty() && message.back() == ' ') message.pop_back();
  if (message.empty()) return;
  if (level == ERR_FATAL) {
    // The engine exits the process right after a fatal message (a corrupt model file, say), so
    // this is the only chance to say why, in the form of the program's own error line.
    std::string line = std::string(program_invocation_short_name) +
                       ": the speech engine stopped: " + message + "\n";
    ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
    return;
  }
  if (!t_engine_messages.empty()) t_engine_messages += "; ";
  t_engine_messages += message;
}

// Held while a decoder is made or freed: the engine's logging and parts of its feature
// extraction are process-wide and not safe to set up from two threads at once.
std::mutex& engineMutex() {
  static std::mutex mutex;
  return mutex;
}

void silenceEngineLog() {
  static std::once_flag once;
  std::call_once(once, [] {
    err_set_logfp(nullptr);
    err_set_callback(keepEngineMessage, nullptr);
  });
}

bool exists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Error("cannot read " + path + ": " + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw Error("cannot read " + path + ": " + std::strerror(errno));
  return std::move(text).str();
}

// A file descriptor for text that exists only in memory, so nothing is written next to the
// model (which may be read-only, and is shared by every user).
class MemoryFile {
 public:
  // None when the kernel offers no memory files or /proc is not mounted.
  static std::optional<MemoryFile> make() {
    int fd = ::memfd_create("vorlin-dictionary", MFD_CLOEXEC);
    if (fd < 0) return std::nullopt;
    MemoryFile file(fd);
    if (!exists(file.path())) return std::nullopt;
    return file;
  }
  MemoryFile(MemoryFile&& other) : fd_(std::exchange(other.fd_, -1)) {}
  MemoryFile& operator=(MemoryFile&& other) {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~MemoryFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

  // False when the kernel refused the bytes.
  bool append(std::string_view text) {
    while (!text.empty()) {
      ssize_t n = ::write(fd_, text.data(), text.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

 private:
  explicit MemoryFile(int fd) : fd_(fd) {}
  int fd_;
};

// The ids of the `vocabulary` most likely words of `lm` on their own; all of them when it has
// no more than that.
std::vector<std::int32_t> likeliestWords(ngram_model_t* lm, std::size_t vocabulary) {
  const auto count = static_cast<std::int32_t>(ngram_model_get_counts(lm)[0]);
  if (vocabulary >= static_cast<std::size_t>(count)) {
    std::vector<std::int32_t> all(static_cast<std::size_t>(count));
    std::iota(all.begin(), all.end(), 0);
    return all;
  }
  std::vector<std::pair<std::int32_t, std::int32_t>> ranked;  // (log probability, word id)
  ranked.reserve(static_cast<std::size_t>(count));
  for (std::int32_t id = 0; id < count; ++id) {
    std::int32_t used = 0;
    ranked.emplace_back(ngram_ng_prob(lm, id, nullptr, 0, &used), id);
  }
  std::partial_sort(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(vocabulary),
                    ranked.end(), std::greater<>());
  std::vector<std::int32_t> ids;
  for (std::size_t i = 0; i < vocabulary; ++i) ids.push_back(ranked[i].second);
  return ids;
}

// Pronunciations of the `vocabulary` most likely words `lm` can produce, in a memory file; none
// when memory files are not available. Every other word of the full dictionary would cost memory
// and load time and could never be recognized. The dictionary is read a line at a time and
// written in blocks, so that neither the full text nor the cut one is ever held whole.
std::optional<MemoryFile> dictionaryFor(ngram_model_t* lm, const std::string& dictionary_path,
                                        std::size_t vocabulary) {
  std::optional<MemoryFile> file = MemoryFile::make();
  if (!file) return std::nullopt;
  std::unordered_set<std::string_view> words;
  for (std::int32_t id : likeliestWords(lm, vocabulary)) {
    if (const char* word = ngram_word(lm, id)) words.insert(word);
  }
  std::ifstream in(dictionary_path, std::ios::binary);
  if (!in) throw Error("cannot read " + dictionary_path + ": " + std::strerror(errno));
  constexpr std::size_t kBlock = 64 * 1024;
  std::string block;
  block.reserve(kBlock + 256);
  for (std::string line; std::getline(in, line);) {
    std::string_view word = std::string_view(line).substr(0, line.find_first_of(" \t"));
    word = baseWord(word);
    if (word.empty() || !words.contains(word)) continue;
    block += line;
    block += '\n';
    if (block.size() >= kBlock) {
      if (!file->append(block)) return std::nullopt;
      block.clear();
    }
  }
  if (in.bad()) throw Error("cannot read " + dictionary_path + ": " + std::strerror(errno));
  if (!file->append(block)) return std::nullopt;
  return file;
}

struct ConfigDeleter {
  void operator()(cmd_ln_t* config) const { cmd_ln_free_r(config); }
};
struct LogmathDeleter {
  void operator()(logmath_t* lmath) const { logmath_free(lmath); }
};
struct NgramDeleter {
  void operator()(ngram_model_t* lm) const { ngram_model_free(lm); }
};

bool picksSearch(const std::string& name) {
  for (const char* search : {"-lm", "-kws", "-keyphrase", "-fsg", "-jsgf", "-allphone"}) {
    if (name == search) return true;
  }
  return false;
}

// Gives the live cepstral mean the model's initial values the weight of many frames. Left at no
// weight, the first utterance alone sets the mean, and a burst of noise before anyone speaks
// leaves a mean that wrecks the sentence after it.
void seedCepstralMean(ps_decoder_t* ps) {
  feat_t* feat = ps_get_feat(ps);
  if (feat == nullptr || feat->cmn_struct == nullptr) return;
  cmn_t* cmn = feat->cmn_struct;
  std::vector<mfcc_t> mean(static_cast<std::size_t>(cmn->veclen));
  cmn_live_get(cmn, mean.data());
  cmn_live_set(cmn, mean.data());
}

}  // namespace

std::optional<ModelFiles> ModelFiles::forLocale(const Locale& locale) {
  if (!hasInstalledModel(locale)) return std::nullopt;
  std::string dir = std::string(kModelRoot) + "/en-us";
  return ModelFiles{dir + "/en-us", dir + "/cmudict-en-us.dict", dir + "/en-us.lm.bin",
                    "pocketsphinx-en-us"};
}

std::optional<std::string> ModelFiles::firstMissing() const {
  // What the engine opens of an acoustic model of this kind; the mixture weights come from
  // "sendump", the compressed form the package installs.
  if (!exists(acoustic_model)) return acoustic_model;
  std::vector<std::string> paths;
  for (const char* name : {"feat.params", "mdef", "means", "variances", "transition_matrices",
                           "noisedict", "sendump"}) {
    paths.push_back(acoustic_model + "/" + name);
  }
  paths.push_back(dictionary);
  paths.push_back(language_model);
  for (const std::string& path : paths) {
    if (!isModelFilePresent(path)) return path;
  }
  return std::nullopt;
}

audio::PcmFormat modelAudioFormat(const ModelFiles& files) {
  double rate_hz = 16000;  // the engine's own default when the model does not say
  std::string path = files.acoustic_model + "/feat.params";
  if (exists(path)) {
    std::istringstream params(readFile(path));
    std::string name, value;
    while (params >> name) {
      if (!(params >> value)) break;
      if (name != "-samprate") continue;
      try {
        rate_hz = std::stod(value);
      } catch (const std::exception&) {
        throw Error("bad sample rate \"" + value + "\" in " + path);
      }
      if (!(rate_hz > 0)) throw Error("bad sample rate \"" + value + "\" in " + path);
    }
  }
  return audio::PcmFormat(audio::SampleFormat::Int16, rate_hz, 1, true);
}

std::string takeEngineMessages() { return std::exchange(t_engine_messages, {}); }

Decoder::~Decoder() {
  std::lock_guard lock(engineMutex());
  ps_free(ps_);
}

std::string engineFailure(const std::string& what) {
  std::string messages = takeEngineMessages();
  return messages.empty() ? what : what + ": " + messages;
}

bool Decoder::process(const std::int16_t* samples, std::size_t count) {
  if (ps_process_raw(ps_, samples, count, FALSE, FALSE) < 0) return false;
  // The engine moves its live mean only at the end of an utterance or once three seconds of
  // speech have gone by, so the first sentence of a voice or microphone unlike the model's own
  // is decoded against the model's initial mean. Moving it as the speech comes in (the seed
  // still weighs five seconds) lets the first words be heard through the new channel.
  if (feat_t* feat = ps_get_feat(ps_); feat != nullptr && feat->cmn_struct != nullptr) {
    cmn_live_update(feat->cmn_struct);
  }
  return true;
}

namespace {

// What the caller's options leave to the model: its search and its dictionary.
struct OwnChoices {
  bool search = false;
  bool dictionary = false;
};

std::unique_ptr<cmd_ln_t, ConfigDeleter> engineConfig(const ModelFiles& files,
                                                      const std::vector<std::string>& options,
                                                      OwnChoices& own) {
  std::vector<std::pair<std::string, std::string>> settings = {{"-hmm", files.acoustic_model},
                                                               {"-dict", files.dictionary}};
  for (std::size_t i = 0; i < options.size(); i += 2) {
    own.search = own.search || picksSearch(options[i]);
    own.dictionary = own.dictionary || options[i] == "-dict";
    auto same = std::find_if(settings.begin(), settings.end(),
                             [&](const auto& setting) { return setting.first == options[i]; });
    if (same != settings.end()) {
      same->second = options[i + 1];
    } else {
      settings.emplace_back(options[i], options[i + 1]);
    }
  }
  std::vector<const char*> argv;
  for (const auto& [name, value] : settings) {
    argv.push_back(name.c_str());
    argv.push_back(value.c_str());
  }
  std::unique_ptr<cmd_ln_t, ConfigDeleter> config(cmd_ln_parse_r(
      nullptr, ps_args(), static_cast<int32>(argv.size()), const_cast<char**>(argv.data()), TRUE));
  if (!config) throw Error(engineFailure("bad decoder options"));
  return config;
}

// dictionaryFor() the language model of `files`. Without memory files (nothing returned) the
// full dictionary still works, only slower and larger.
std::optional<MemoryFile> languageModelDictionary(cmd_ln_t* config, const ModelFiles& files,
                                                  std::size_t vocabulary) {
  // Read first only for its words, and freed before the engine loads its own copy, so that two
  // copies are never held at once.
  std::unique_ptr<logmath_t, LogmathDeleter> lmath(
      logmath_init(cmd_ln_float32_r(config, "-logbase"), 0, FALSE));
  if (!lmath) throw Error(engineFailure("cannot set up the engine's logarithms"));
  std::unique_ptr<ngram_model_t, NgramDeleter> lm(
      ngram_model_read(config, files.language_model.c_str(), NGRAM_AUTO, lmath.get()));
  if (!lm) throw Error(engineFailure("cannot load the language model " + files.language_model));
  return dictionaryFor(lm.get(), files.dictionary, vocabulary);
}

}  // namespace

std::unique_ptr<Decoder> makeDecoder(const ModelFiles& files,
                                     const std::vector<std::string>& options,
                                     std::size_t vocabulary) {
  if (std::optional<std::string> missing = files.firstMissing()) {
    throw Error("the speech model file " + *missing +
                " is missing or empty (it comes with the package " + files.package + ")");
  }
  if (options.size() % 2 != 0) throw Error("decoder option " + options.back() + " has no value");

  std::lock_guard lock(engineMutex());
  silenceEngineLog();
  // The engine grows its per-utterance tables by doubling them: about 3 MB of a long
  // recognition's peak otherwise.
  runtime::keepLargeBlocksMapped();
  takeEngineMessages();

  OwnChoices own;
  std::unique_ptr<cmd_ln_t, ConfigDeleter> config = engineConfig(files, options, own);
  std::optional<MemoryFile> dictionary;
  if (!own.search && vocabulary == 0 && !own.dictionary) {
    // A decoder that is only ever given words of its own (a keyphrase spotter) needs none of
    // the model's.
    dictionary = MemoryFile::make();
    if (!dictionary) throw Error("cannot make an empty dictionary: no memory files here");
    cmd_ln_set_str_r(config.get(), "-dict", dictionary->path().c_str());
  } else if (!own.search && vocabulary > 0) {
    // The engine loads the language model itself, once; set here so that it is the model of
    // `files`, whatever the engine would pick on its own.
    cmd_ln_set_str_r(config.get(), "-lm", files.language_model.c_str());
    if (!own.dictionary) {
      dictionary = languageModelDictionary(config.get(), files, vocabulary);
      if (dictionary) cmd_ln_set_str_r(config.get(), "-dict", dictionary->path().c_str());
    }
    // Hands the freed pages back before the engine's peak.
    ::malloc_trim(0);
  }

  ps_decoder_t* ps = ps_init(config.get());
  if (ps == nullptr) {
    throw Error(engineFailure("cannot load the speech model in " + files.acoustic_model));
  }
  seedCepstralMean(ps);
  takeEngineMessages();
  return std::unique_ptr<Decoder>(new Decoder(ps));
}

std::vector<std::string> liveDecoderOptions() {
  // A cap of 3000 active models per frame cut off the right words in long sentences (a whole
  // phrase of one clip went astray); 4000 keeps them and still costs about half of the engine's
  // default three-pass search.
  //
  // The engine aborts the process when the hypothesis is asked for while its table of word ends
  // is exactly full (an assertion in its search); it grows the table only at the next word end.
  // Asking after every input, as live results do, met that moment: one recognition in five of a
  // pitch-raised recording crashed. A first table for half a million word ends never fills: a
  // minute of speech (the longest utterance these options are for) made fewer than 128000. Its
  // pages are touched only as it is used.
  return {"-fwdflat",       "no",  "-bestpath",       "no", "-maxhmmpf", "4000",  "-maxwpf", "10",
          "-vad_threshold", "3.0", "-vad_postspeech", "50", "-latsize",  "524288"};
}

}  // namespace speech
