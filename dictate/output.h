// What the dictation program writes: transcript lines on standard output, one error line on
// standard error.
#pragma once

#include <string>
#include <string_view>

namespace dictate {

// Makes standard output line-buffered, so each transcript line reaches the host as soon as its
// line feed is written. Call before anything is written, and before any file is opened: a
// closed standard output fails here, before a file opened later could take its place.
void setUpOutput();

// The transcript line for `text`: {"text":"..."} with the text trimmed of spaces and tabs at both
// ends, compact, '/' escaped, non-ASCII as raw UTF-8, then a line feed. Bytes that are not UTF-8
// become U+FFFD, so the line is always valid JSON.
std::string transcriptLine(std::string_view text);

// Writes transcriptLine(text) to standard output. Main loop only. A line that cannot be
// written (a full disk, a closed standard output) fails the program: a transcript nobody
// received is not a success. A reader that has closed the pipe ends the program by SIGPIPE,
// as it ends any filter.
void say(std::string_view text);

// Writes "vorlin-dictate: " + message + line feed to standard error in one write, then exits
// with status 1. Transcript lines already written are flushed by the exit.
[[noreturn]] void fail(std::string_view message);

}  // namespace dictate
