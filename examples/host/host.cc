// vorlin-host: a minimal voice host. It runs vorlin-wake all the time and a microphone recorder
// (parec), and after each "wake" streams the recorder's audio into a fresh vorlin-dictate,
// printing the transcript as it grows. Two seconds without new text end the dictation: the host
// closes the helper's standard input, reads its last line (the final transcript) and reaps it.
//
// Everything happens in one poll() loop: no threads, and no read or write that can block, so a
// helper that goes quiet or dies never stalls the others.

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "examples/host/lines.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using host::LineSplitter;
using host::transcriptText;

// Dictation ends after this long without new text; the user has stopped speaking.
constexpr auto kPause = std::chrono::seconds(2);
// Before the first words the user gets longer: the wake line arrives a moment after the name,
// and people pause after calling the assistant.
constexpr auto kFirstWords = std::chrono::seconds(5);
// 0.2 s of 16 kHz s16le mono: the read size keeps the relay latency low.
constexpr size_t kChunkBytes = 6400;

volatile sig_atomic_t g_stop = 0;

std::runtime_error systemError(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

// A helper finds its siblings first next to its own executable (an installed bin/ directory or a
// build tree), then in PATH through posix_spawnp.
std::string helperPath(const std::string& name) {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    std::string dir(self, static_cast<size_t>(n));
    dir.resize(dir.rfind('/') + 1);
    if (access((dir + name).c_str(), X_OK) == 0) return dir + name;
  }
  return name;
}

struct Child {
  std::string name;
  pid_t pid = -1;
  int in = -1;   // our end of its stdin, or -1
  int out = -1;  // our end of its stdout, or -1
  int err = -1;  // our end of its stderr, or -1
  LineSplitter out_lines;
  LineSplitter err_lines;
};

void closeFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Starts `argv` with pipes for the streams asked for; the others are inherited (stderr) or
// /dev/null (stdin). Our ends are close-on-exec: were they inherited by a later child, that child
// would hold vorlin-dictate's stdin open and the end of dictation would never be seen.
Child spawn(const std::vector<std::string>& argv, bool want_in, bool want_err) {
  Child child;
  child.name = argv[0].substr(argv[0].rfind('/') + 1);
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  auto closeAll = [&] {
    for (int* p : {in, out, err}) {
      closeFd(p[0]);
      closeFd(p[1]);
    }
  };
  if ((want_in && pipe2(in, O_CLOEXEC) != 0) || pipe2(out, O_CLOEXEC) != 0 ||
      (want_err && pipe2(err, O_CLOEXEC) != 0)) {
    std::runtime_error e = systemError("cannot make pipes for " + child.name);
    closeAll();
    throw e;
  }

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  int rc = posix_spawn_file_actions_init(&actions);
  if (rc != 0) {
    closeAll();
    throw std::runtime_error("cannot start " + child.name + ": " + std::strerror(rc));
  }
  rc = posix_spawnattr_init(&attr);
  if (rc == 0) {
    // A process group of its own, so the terminal's Ctrl-C reaches only the host, which then
    // ends its helpers in order instead of losing the dictation under way.
    rc = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    if (rc == 0) rc = posix_spawnattr_setpgroup(&attr, 0);
    if (rc == 0) {
      rc = want_in ? posix_spawn_file_actions_adddup2(&actions, in[0], 0)
                   : posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (rc == 0 && want_err) rc = posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    if (rc == 0) {
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      rc = posix_spawnp(&child.pid, argv[0].c_str(), &actions, &attr, args.data(), environ);
    }
    posix_spawnattr_destroy(&attr);
  }
  posix_spawn_file_actions_destroy(&actions);
  closeFd(in[0]);
  closeFd(out[1]);
  closeFd(err[1]);
  if (rc != 0) {
    closeAll();
    throw std::runtime_error("cannot start " + argv[0] +
                             " (looked next to the host and in PATH): " + std::strerror(rc));
  }
  child.in = in[1];
  child.out = out[0];
  child.err = err[0];
  // Only our write end: the helper's read end stays blocking, as programs expect.
  if (child.in >= 0 && fcntl(child.in, F_SETFL, O_NONBLOCK) != 0) {
    throw systemError("cannot make the pipe to " + child.name + " non-blocking");
  }
  return child;
}

std::string describeStatus(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return std::string("was killed by ") + strsignal(WTERMSIG(status));
  return "stopped";
}

int reap(Child& child) {
  int status = 0;
  if (child.pid < 0) return status;  // waitpid(-1) would reap any child
  while (waitpid(child.pid, &status, 0) < 0) {
    if (errno != EINTR) throw systemError("cannot wait for " + child.name);
  }
  child.pid = -1;
  return status;
}

// For helpers that have no end of their own (vorlin-wake, parec): SIGTERM, then reap.
void terminate(Child& child) {
  if (child.pid < 0) return;
  if (kill(child.pid, SIGTERM) != 0 && errno != ESRCH)
    throw systemError("cannot end " + child.name);
  closeFd(child.in);
  closeFd(child.out);
  closeFd(child.err);
  reap(child);
}

// Reads what is there; false at end of file. Lines go to `sink` as they complete.
template <typename Sink>
bool readLines(int fd, LineSplitter& lines, const std::string& name, Sink sink) {
  char buffer[4096];
  ssize_t n = read(fd, buffer, sizeof buffer);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  if (n < 0) throw systemError("cannot read from " + name);
  for (std::string& line : lines.push(std::string_view(buffer, static_cast<size_t>(n)))) {
    sink(line);
  }
  if (n == 0) {
    if (std::optional<std::string> rest = lines.finish()) sink(*rest);
    return false;
  }
  return true;
}

// The helpers' stderr lines already carry their names ("vorlin-wake: listening"): pass them on.
void forward(const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }

struct Dictation {
  Child child;
  std::string pending;  // audio not yet taken by the helper
  std::string text;     // the latest transcript line
  Clock::time_point last_change = Clock::now();
  bool heard = false;
};

class Host {
 public:
  Host() : tty_(isatty(STDOUT_FILENO)), wake_(spawn({helperPath("vorlin-wake")}, false, true)) {
    try {
      mic_ = spawn({"parec", "--format=s16le", "--rate=16000", "--channels=1"}, false, false);
    } catch (...) {
      terminate(wake_);
      throw;
    }
  }

  // Whatever way the host leaves, no helper outlives it: a dictation under way still gets its
  // end of input and finishes, the two that never end by themselves are told to.
  ~Host() {
    try {
      if (dictation_) {
        closeFd(dictation_->child.in);
        closeFd(dictation_->child.out);
        closeFd(dictation_->child.err);
        reap(dictation_->child);
      }
      terminate(mic_);
      terminate(wake_);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "vorlin-host: %s\n", e.what());
    }
  }

  int run() {
    while (!(g_stop && !dictation_)) {
      if (g_stop && dictation_ && dictation_->child.in >= 0) endAudio();
      std::vector<pollfd> fds;
      auto watch = [&](int fd, short events) {
        if (fd >= 0) fds.push_back({fd, events, 0});
      };
      watch(wake_.out, POLLIN);
      watch(wake_.err, POLLIN);
      watch(mic_.out, POLLIN);
      if (dictation_) {
        watch(dictation_->child.out, POLLIN);
        watch(dictation_->child.err, POLLIN);
        if (!dictation_->pending.empty()) watch(dictation_->child.in, POLLOUT);
      }
      if (poll(fds.data(), fds.size(), timeoutMs()) < 0) {
        if (errno == EINTR) continue;
        throw systemError("poll");
      }
      for (const pollfd& p : fds) {
        if (p.revents == 0) continue;
        if (p.fd == wake_.out && !onWake()) return 1;
        if (p.fd == wake_.err && !readLines(wake_.err, wake_.err_lines, wake_.name, forward)) {
          closeFd(wake_.err);
        }
        if (p.fd == mic_.out && !onAudio()) return 1;
        if (dictation_ && !onDictation(p)) return 1;
      }
      if (dictation_ && dictation_->child.in >= 0 && paused()) endAudio();
    }
    return 0;
  }

 private:
  int timeoutMs() const {
    if (!dictation_ || dictation_->child.in < 0) return -1;
    auto left = deadline() - Clock::now();
    return static_cast<int>(
        std::max<long long>(0, std::chrono::ceil<std::chrono::milliseconds>(left).count()));
  }

  Clock::time_point deadline() const {
    return dictation_->last_change + (dictation_->heard ? kPause : kFirstWords);
  }

  bool paused() const { return Clock::now() >= deadline(); }

  bool onWake() {
    bool open = readLines(wake_.out, wake_.out_lines, wake_.name, [&](const std::string& line) {
      // A "wake" while dictating is the user saying the name in the sentence: not a new request.
      if (line != "wake" || dictation_ || g_stop) return;
      std::fprintf(stderr, "vorlin-host: wake; dictating until a pause\n");
      dictation_.emplace();
      dictation_->child = spawn({helperPath("vorlin-dictate")}, true, true);
    });
    if (open) return true;
    // vorlin-wake never ends by itself while we run: it failed at start-up, and its one stderr
    // line (already passed on) says why; the status tells which cause.
    while (wake_.err >= 0 && readLines(wake_.err, wake_.err_lines, wake_.name, forward)) {
    }
    closeFd(wake_.out);
    closeFd(wake_.err);
    std::fprintf(stderr, "vorlin-host: vorlin-wake %s\n", describeStatus(reap(wake_)).c_str());
    return false;
  }

  bool onAudio() {
    char buffer[kChunkBytes];
    ssize_t n = read(mic_.out, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) return true;
    if (n < 0) throw systemError("cannot read from parec");
    if (n == 0) {
      closeFd(mic_.out);
      std::fprintf(stderr, "vorlin-host: parec %s\n", describeStatus(reap(mic_)).c_str());
      return false;
    }
    // Between dictations the audio is dropped: the recorder keeps running because starting one
    // at each wake would cost its connection time and the user's first words.
    if (dictation_ && dictation_->child.in >= 0) {
      dictation_->pending.append(buffer, static_cast<size_t>(n));
      flushAudio();
    }
    return true;
  }

  void flushAudio() {
    Dictation& d = *dictation_;
    while (!d.pending.empty()) {
      ssize_t n = write(d.child.in, d.pending.data(), d.pending.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return;  // poll says when there is room again
      if (n < 0 && errno == EPIPE) {         // it died; its stderr and status say why
        d.pending.clear();
        closeFd(d.child.in);
        return;
      }
      if (n < 0) throw systemError("cannot write to vorlin-dictate");
      d.pending.erase(0, static_cast<size_t>(n));
    }
  }

  // End of input is the only way to finish a dictation: the helper then completes recognition
  // and writes the committed transcript as its last line. What is still queued is the pause.
  void endAudio() {
    dictation_->pending.clear();
    closeFd(dictation_->child.in);
  }

  bool onDictation(const pollfd& p) {
    Dictation& d = *dictation_;
    if (p.fd == d.child.in) flushAudio();
    if (p.fd == d.child.err && !readLines(d.child.err, d.child.err_lines, d.child.name, forward)) {
      closeFd(d.child.err);
    }
    if (p.fd == d.child.out &&
        !readLines(d.child.out, d.child.out_lines, d.child.name, [&](const std::string& line) {
          std::optional<std::string> text = transcriptText(line);
          if (!text) {
            std::fprintf(stderr, "vorlin-host: not a transcript line: %s\n", line.c_str());
            return;
          }
          if (*text == d.text) return;
          d.text = *text;
          d.heard = d.heard || !text->empty();
          d.last_change = Clock::now();
          show("hearing: " + d.text, false);
        })) {
      closeFd(d.child.out);
    }
    if (d.child.out >= 0 || d.child.err >= 0) return true;
    return finish();
  }

  // Both streams are at their end, so the process is exiting: its status decides whether the last
  // line was the final transcript (0) or the error line on stderr explains what went wrong (1).
  bool finish() {
    Dictation& d = *dictation_;
    closeFd(d.child.in);
    int status = reap(d.child);
    bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (ok) {
      show("said: " + d.text, true);
    } else {
      if (tty_) std::fputs("\n", stdout);
      std::fprintf(stderr, "vorlin-host: vorlin-dictate %s\n", describeStatus(status).c_str());
    }
    dictation_.reset();
    return ok;
  }

  // On a terminal the running transcript is redrawn in place; into a pipe or a file each update
  // is its own line, which is what a program reading the host wants.
  void show(const std::string& line, bool last) {
    if (tty_) {
      std::fprintf(stdout, "\r\033[K%s%s", line.c_str(), last ? "\n" : "");
      std::fflush(stdout);
    } else {
      std::fprintf(stdout, "%s\n", line.c_str());
    }
  }

  bool tty_;
  Child wake_;
  Child mic_;
  std::optional<Dictation> dictation_;
};

void onSignal(int) { g_stop = 1; }

}  // namespace

int main() {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  struct sigaction stop = {};
  stop.sa_handler = onSignal;
  sigemptyset(&stop.sa_mask);
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  // A helper that dies leaves a pipe with no reader; the write then fails with EPIPE, which we
  // handle, instead of killing the host.
  if (sigaction(SIGINT, &stop, nullptr) != 0 || sigaction(SIGTERM, &stop, nullptr) != 0 ||
      sigaction(SIGPIPE, &ignore, nullptr) != 0) {
    std::fprintf(stderr, "vorlin-host: cannot install signal handlers: %s\n", std::strerror(errno));
    return 1;
  }
  try {
    Host host;
    return host.run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vorlin-host: %s\n", e.what());
    return 1;
  }
}
