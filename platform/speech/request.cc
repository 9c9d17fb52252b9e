#include <utility>

#include "platform/speech/recognizer.h"

namespace speech {

SFSpeechAudioBufferRecognitionRequest::SFSpeechAudioBufferRecognitionRequest()
    : SFSpeechAudioBufferRecognitionRequest(
          runtime::makeStream<std::shared_ptr<audio::AVAudioPCMBuffer>>()) {}

SFSpeechAudioBufferRecognitionRequest::SFSpeechAudioBufferRecognitionRequest(
    std::pair<runtime::Stream<std::shared_ptr<audio::AVAudioPCMBuffer>>,
              runtime::Continuation<std::shared_ptr<audio::AVAudioPCMBuffer>>>
        stream)
    : audio_(std::move(stream.first)), append_(std::move(stream.second)) {}

// The capture thread calls this: the stream only takes its short lock and queues the buffer, so
// recognition never holds up capture. Empty buffers carry nothing for the decoder.
void SFSpeechAudioBufferRecognitionRequest::appendAudioPCMBuffer(
    std::shared_ptr<audio::AVAudioPCMBuffer> buffer) {
  if (!buffer || buffer->frameLength() == 0) return;
  append_.yield(std::move(buffer));
}

void SFSpeechAudioBufferRecognitionRequest::endAudio() { append_.finish(); }

}  // namespace speech
