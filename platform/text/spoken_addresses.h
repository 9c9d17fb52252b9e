#pragma once

#include "platform/text/format_tokens.h"

namespace text {

// Writes e-mail and web addresses spelled out in words as one lower-case word:
// "jane dot doe at example dot com" -> "jane.doe@example.com", "w w w dot example dot org slash
// news" -> "www.example.org/news", also around parts the engine already wrote ("jane at
// example.com"). "dot", "at", "underscore", "dash" and "slash" are read as signs only inside an
// address, which ends in a known top-level domain ("com", "org", "net", ...): "dot the i's", "at
// the end" and "the dot com years" stay words. The address is settled and keeps its case.
void writeAddresses(FormatTokens& tokens);

}  // namespace text
