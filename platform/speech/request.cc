#include <utility>

#include "platform/speech/recognizer.h"

namespace speech {

RecognitionRequest::RecognitionRequest()
    : RecognitionRequest(runtime::makeStream<std::shared_ptr<audio::PcmBuffer>>()) {}

RecognitionRequest::RecognitionRequest(
    std::pair<runtime::Stream<std::shared_ptr<audio::PcmBuffer>>,
              runtime::Continuation<std::shared_ptr<audio::PcmBuffer>>>
        stream)
    : audio_(std::move(stream.first)), append_(std::move(stream.second)) {}

// The capture thread calls this: the stream only takes its short lock and queues the buffer, so
// recognition never holds up capture. Empty buffers carry nothing for the decoder.
void RecognitionRequest::append(std::shared_ptr<audio::PcmBuffer> buffer) {
  if (!buffer || buffer->frameLength() == 0) return;
  append_.yield(std::move(buffer));
}

void RecognitionRequest::endAudio() { append_.finish(); }

}  // namespace speech
