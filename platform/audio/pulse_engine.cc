#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/audio/capture_framer.h"
#include "platform/audio/engine.h"

namespace audio {
namespace {

constexpr char kClientName[] = "vorlin-wake";
constexpr char kStreamName[] = "wake word";

// Until the server has been asked, or when there is none: what desktop microphones mostly give.
constexpr double kFallbackRateHz = 48000;
constexpr std::uint32_t kFallbackChannels = 2;
constexpr std::uint32_t kDefaultFramesPerBuffer = 1024;

// A server that accepts the connection but never answers must not hang start-up for ever.
constexpr pa_usec_t kAnswerTimeoutUsec = 5 * PA_USEC_PER_SEC;
// Reconnection attempts back off from the first delay to the longest one, which bounds how long
// capture stays dead after the server comes back (the longest delay plus one connection).
constexpr pa_usec_t kFirstRetryUsec = 100 * PA_USEC_PER_MSEC;
constexpr pa_usec_t kLongestRetryUsec = 1000 * PA_USEC_PER_MSEC;

std::string describe(pa_context* context) { return pa_strerror(pa_context_errno(context)); }

timeval timeFromNow(pa_usec_t delay) {
  timeval tv;
  pa_gettimeofday(&tv);
  pa_timeval_add(&tv, delay);
  return tv;
}

// Holds the event loop's lock: every libpulse call from outside the loop's thread needs it, and
// the loop's callbacks run with it held, so it also guards every member the callbacks touch.
class LoopLock {
 public:
  explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
  ~LoopLock() { pa_threaded_mainloop_unlock(loop_); }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

 private:
  pa_threaded_mainloop* loop_;
};

// One connection to the server at a time (a session): it asks for the default source, then, once
// capture is wanted, records from it. A session that fails is torn down; before a successful
// start that failure is the start's answer, after it a new session follows after a delay.
class PulseEngine final : public CaptureEngine, private CaptureInput {
 public:
  PulseEngine() = default;

  ~PulseEngine() override {
    if (!loop_) return;
    // Stopping joins the loop's thread, after which nothing else touches the objects.
    pa_threaded_mainloop_stop(loop_);
    endSession();
    if (retry_event_) api_->time_free(retry_event_);
    pa_threaded_mainloop_free(loop_);
  }

  CaptureInput& input() override { return *this; }

  PcmFormat busFormat(std::uint32_t /*bus*/) override {
    if (startLoop(nullptr)) {
      LoopLock lock(loop_);
      if (!source_) {
        if (phase_ == Phase::kFailed) endSession();
        if (phase_ == Phase::kIdle) beginSession();
        waitFor([this] { return phase_ != Phase::kConnecting; });
        if (phase_ != Phase::kReady) endSession();
      }
      if (source_) {
        return PcmFormat(SampleFormat::Float32, source_->rate, source_->channels, false);
      }
    }
    return PcmFormat(SampleFormat::Float32, kFallbackRateHz, kFallbackChannels, false);
  }

  void installTap(std::uint32_t bus, std::uint32_t bufferSize, const PcmFormat& format,
                  CaptureCallback block) override {
    if (bus != 0) return;  // The microphone is the only bus.
    std::string ignored;
    if (!startLoop(&ignored)) return;
    LoopLock lock(loop_);
    tap_ = std::move(block);
    frames_per_buffer_ = std::max<std::uint32_t>(bufferSize, 1);
    framer_.emplace(format, frames_per_buffer_);
    // A stream already open records in the old format: open it again in the new one.
    if (phase_ == Phase::kOpeningStream || phase_ == Phase::kStreaming) {
      closeStream();
      openStream();
    }
  }

  bool start(std::string* error) override {
    if (!startLoop(error)) return false;
    LoopLock lock(loop_);
    if (running_) return true;
    want_stream_ = true;
    // A connection made for the format may have died since; the server may be back.
    if (phase_ == Phase::kFailed) endSession();
    if (phase_ == Phase::kIdle) {
      beginSession();
    } else if (phase_ == Phase::kReady) {
      openStream();
    }
    bool answered =
        waitFor([this] { return phase_ == Phase::kStreaming || phase_ == Phase::kFailed; });
    if (phase_ == Phase::kStreaming) {
      running_ = true;
      return true;
    }
    if (error) {
      *error = answered ? failure_ : "the audio server did not answer within 5 seconds";
    }
    endSession();
    want_stream_ = false;
    return false;
  }

 private:
  enum class Phase {
    kIdle,           // no connection
    kConnecting,     // connecting and asking for the default source
    kReady,          // the source is known, nothing is recorded
    kOpeningStream,  // recording is being set up
    kStreaming,      // audio flows to the tap
    kFailed,         // the session is dead, to be torn down outside libpulse's callbacks
  };

  struct Source {
    double rate;
    std::uint32_t channels;
  };

  bool startLoop(std::string* error) {
    if (loop_) return true;
    pa_threaded_mainloop* loop = pa_threaded_mainloop_new();
    if (!loop) {
      // It fails only when its wake-up pipe or its memory cannot be had; errno tells which.
      if (error)
        *error =
            std::string("cannot create the audio client's event loop: ") + std::strerror(errno);
      return false;
    }
    // libpulse sets up its record of which thread is which once per process, lazily, from
    // whichever thread comes first; the loop's new thread and this one would race to do it (a
    // race its atomics hide from ThreadSanitizer). Freeing a loop that never ran asks which
    // thread this is, so the setting up happens here, before the loop's thread exists.
    if (pa_threaded_mainloop* unused = pa_threaded_mainloop_new())
      pa_threaded_mainloop_free(unused);
    if (pa_threaded_mainloop_start(loop) < 0) {
      pa_threaded_mainloop_free(loop);
      if (error) *error = "cannot start the audio client's event loop thread";
      return false;
    }
    loop_ = loop;
    api_ = pa_threaded_mainloop_get_api(loop_);
    return true;
  }

  // Waits, with the lock held, until `done` holds or the server has been silent too long; false
  // on the timeout.
  template <typename Done>
  bool waitFor(Done done) {
    timed_out_ = false;
    timeval deadline = timeFromNow(kAnswerTimeoutUsec);
    pa_time_event* timer = api_->time_new(api_, &deadline, onWaitTimeout, this);
    while (!done() && !timed_out_) pa_threaded_mainloop_wait(loop_);
    if (timer) api_->time_free(timer);
    return done();
  }

  static void onWaitTimeout(pa_mainloop_api*, pa_time_event*, const timeval*, void* self) {
    auto* engine = static_cast<PulseEngine*>(self);
    engine->timed_out_ = true;
    pa_threaded_mainloop_signal(engine->loop_, 0);
  }

  void beginSession() {
    context_ = pa_context_new(api_, kClientName);
    if (!context_) {
      fail("cannot create a connection to the audio server: out of memory");
      return;
    }
    phase_ = Phase::kConnecting;
    pa_context_set_state_callback(context_, onContextState, this);
    // No autospawn: a listener must never start an audio server of its own.
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      fail("cannot connect to the audio server: " + describe(context_));
    }
  }

  // Callbacks of objects already torn down cannot come (theirs are cleared first), but those of
  // a failed session still can until it is torn down; they must change nothing.
  bool live(pa_context* context) const { return context == context_ && phase_ != Phase::kFailed; }

  static void onContextState(pa_context* context, void* self) {
    auto* engine = static_cast<PulseEngine*>(self);
    if (!engine->live(context)) return;
    switch (pa_context_get_state(context)) {
      case PA_CONTEXT_READY: {
        pa_operation* op = pa_context_get_server_info(context, onServerInfo, self);
        if (!op) {
          engine->fail("cannot ask the audio server for its default source: " + describe(context));
          return;
        }
        pa_operation_unref(op);
        return;
      }
      case PA_CONTEXT_FAILED:
      case PA_CONTEXT_TERMINATED:
        engine->fail((engine->phase_ == Phase::kConnecting ? "cannot connect to the audio server: "
                                                           : "lost the audio server: ") +
                     describe(context));
        return;
      default:
        return;
    }
  }

  static void onServerInfo(pa_context* context, const pa_server_info* info, void* self) {
    auto* engine = static_cast<PulseEngine*>(self);
    if (!engine->live(context)) return;
    if (!info) {
      engine->fail("cannot ask the audio server for its default source: " + describe(context));
      return;
    }
    if (!info->default_source_name || !*info->default_source_name) {
      engine->fail("the audio server has no default source");
      return;
    }
    engine->source_name_ = info->default_source_name;
    engine->source_found_ = false;
    pa_operation* op =
        pa_context_get_source_info_by_name(context, info->default_source_name, onSourceInfo, self);
    if (!op) {
      engine->fail("cannot ask the audio server about the source \"" + engine->source_name_ +
                   "\": " + describe(context));
      return;
    }
    pa_operation_unref(op);
  }

  static void onSourceInfo(pa_context* context, const pa_source_info* info, int eol, void* self) {
    auto* engine = static_cast<PulseEngine*>(self);
    if (!engine->live(context)) return;
    if (info) {
      engine->source_ = Source{static_cast<double>(info->sample_spec.rate),
                               static_cast<std::uint32_t>(info->sample_spec.channels)};
      engine->source_found_ = true;
      return;
    }
    if (eol < 0 || !engine->source_found_) {
      engine->fail("cannot find the audio server's default source \"" + engine->source_name_ +
                   "\": " + describe(context));
      return;
    }
    engine->phase_ = Phase::kReady;
    if (engine->want_stream_) engine->openStream();
    pa_threaded_mainloop_signal(engine->loop_, 0);
  }

  // The tap's format, so that buffers need no conversion here: the server resamples and mixes
  // channels when the source changes after a reconnection.
  PcmFormat streamFormat() const {
    if (framer_) return framer_->format();
    return PcmFormat(SampleFormat::Float32, source_ ? source_->rate : kFallbackRateHz,
                     source_ ? source_->channels : kFallbackChannels, false);
  }

  void openStream() {
    PcmFormat format = streamFormat();
    if (!framer_) framer_.emplace(format, frames_per_buffer_);
    framer_->reset();
    // What travels from the server: the tap's encoding, rate and channels, always interleaved.
    pa_sample_spec wire;
    wire.format =
        format.sampleFormat() == SampleFormat::Int16 ? PA_SAMPLE_S16NE : PA_SAMPLE_FLOAT32NE;
    wire.rate = static_cast<std::uint32_t>(format.sampleRate());
    wire.channels = static_cast<std::uint8_t>(format.channelCount());
    if (!pa_sample_spec_valid(&wire) || format.channelCount() > PA_CHANNELS_MAX) {
      fail("the audio server cannot record in the tap's format (" + format.description() + ")");
      return;
    }
    stream_ = pa_stream_new(context_, kStreamName, &wire, nullptr);
    if (!stream_) {
      fail("cannot create a recording stream in " + format.description() + ": " +
           describe(context_));
      return;
    }
    phase_ = Phase::kOpeningStream;
    pa_stream_set_state_callback(stream_, onStreamState, this);
    pa_stream_set_read_callback(stream_, onStreamRead, this);
    // Fragments of one tap buffer: words reach the recognizer within a buffer of being said,
    // and the capture thread still wakes only once per buffer.
    pa_buffer_attr attr;
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(-1);
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(framer_->bytesPerFrame() * frames_per_buffer_);
    // No device: the server's default source, and the stream follows it when the user picks
    // another microphone.
    if (pa_stream_connect_record(stream_, nullptr, &attr, PA_STREAM_ADJUST_LATENCY) < 0) {
      fail("cannot record from the audio server's default source \"" + source_name_ +
           "\": " + describe(context_));
    }
  }

  static void onStreamState(pa_stream* stream, void* self) {
    auto* engine = static_cast<PulseEngine*>(self);
    if (stream != engine->stream_ || !engine->live(engine->context_)) return;
    switch (pa_stream_get_state(stream)) {
      case PA_STREAM_READY:
        engine->phase_ = Phase::kStreaming;
        engine->retry_delay_ = kFirstRetryUsec;
        pa_threaded_mainloop_signal(engine->loop_, 0);
        return;
      case PA_STREAM_FAILED:
        engine->fail("cannot record from the audio server's default source \"" +
                     engine->source_name_ + "\": " + describe(engine->context_));
        return;
      default:
        return;
    }
  }

  static void onStreamRead(pa_stream* stream, std::size_t /*bytes*/, void* self) {
    auto* engine = static_cast<PulseEngine*>(self);
    if (stream != engine->stream_ || !engine->live(engine->context_)) return;
    for (;;) {
      std::size_t readable = pa_stream_readable_size(stream);
      if (readable == static_cast<std::size_t>(-1)) {
        engine->fail("cannot read recorded audio: " + describe(engine->context_));
        return;
      }
      if (readable == 0) return;
      const void* data = nullptr;
      std::size_t bytes = 0;
      if (pa_stream_peek(stream, &data, &bytes) < 0) {
        engine->fail("cannot read recorded audio: " + describe(engine->context_));
        return;
      }
      if (bytes == 0) return;
      // No data with a length is a hole in the recording: nothing to hand on, only to skip.
      if (data) {
        engine->framer_->push(data, bytes,
                              [engine](std::shared_ptr<PcmBuffer> buffer, CaptureTime when) {
                                if (engine->tap_) engine->tap_(std::move(buffer), when);
                              });
      }
      if (pa_stream_drop(stream) < 0) {
        engine->fail("cannot read recorded audio: " + describe(engine->context_));
        return;
      }
    }
  }

  // Called inside libpulse's callbacks, where the failing objects must not be freed: the
  // session is only marked, and torn down by whoever waits for it or by the retry timer.
  void fail(std::string description) {
    failure_ = std::move(description);
    phase_ = Phase::kFailed;
    if (running_) scheduleRetry();
    pa_threaded_mainloop_signal(loop_, 0);
  }

  void scheduleRetry() {
    timeval when = timeFromNow(retry_delay_);
    retry_delay_ = std::min(retry_delay_ * 2, kLongestRetryUsec);
    if (retry_event_) {
      api_->time_restart(retry_event_, &when);
      return;
    }
    // The loop's own allocator aborts rather than fail, so a missing event cannot be met in
    // practice; capture would simply stay down.
    retry_event_ = api_->time_new(api_, &when, onRetry, this);
  }

  static void onRetry(pa_mainloop_api*, pa_time_event*, const timeval*, void* self) {
    auto* engine = static_cast<PulseEngine*>(self);
    engine->endSession();
    engine->beginSession();
  }

  void closeStream() {
    if (!stream_) return;
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    // Fails only when the stream is already dead, which is what is wanted here anyway.
    (void)pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
  }

  void endSession() {
    closeStream();
    if (context_) {
      pa_context_set_state_callback(context_, nullptr, nullptr);
      pa_context_disconnect(context_);
      pa_context_unref(context_);
      context_ = nullptr;
    }
    phase_ = Phase::kIdle;
  }

  pa_threaded_mainloop* loop_ = nullptr;
  pa_mainloop_api* api_ = nullptr;

  // Everything below is guarded by the loop's lock once the loop runs.
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
  Phase phase_ = Phase::kIdle;
  std::string failure_;
  bool timed_out_ = false;
  std::string source_name_;
  bool source_found_ = false;
  std::optional<Source> source_;
  bool want_stream_ = false;
  bool running_ = false;
  pa_time_event* retry_event_ = nullptr;
  pa_usec_t retry_delay_ = kFirstRetryUsec;
  std::uint32_t frames_per_buffer_ = kDefaultFramesPerBuffer;
  std::optional<CaptureFramer> framer_;
  CaptureCallback tap_;
};

}  // namespace

std::unique_ptr<CaptureEngine> makePulseAudioEngine() { return std::make_unique<PulseEngine>(); }

}  // namespace audio
