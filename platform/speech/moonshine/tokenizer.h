// Token ids of the dictation model to text: its SentencePiece vocabulary, read from a file.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/speech/error.h"

namespace speech::moonshine {

class Tokenizer {
 public:
  // Reads the vocabulary: one SentencePiece piece a line, in UTF-8, separated by line feeds (a
  // piece may end in a carriage return of its own); the line number, from 0, is the token id.
  // The first three pieces must be the control pieces <unk>, <s> and </s>. Throws Error naming
  // the file when it is missing, unreadable, empty or malformed (an empty piece, a piece that is
  // not UTF-8, a file too large to be a vocabulary).
  static Tokenizer load(const std::string& path);

  // The text of `tokens`: "▁" is a space, byte pieces "<0xNN>" are raw bytes joined with their
  // neighbours into UTF-8, control pieces and ids outside the vocabulary (the model has more
  // outputs than pieces) give nothing, and one leading space is dropped. An invalid byte
  // sequence becomes U+FFFD, so the text is always valid UTF-8. Any thread may call.
  std::string decode(std::span<const std::int32_t> tokens) const;

  // Token ids for `text` as the model's SentencePiece BPE writes it: spaces become "▁", one "▁"
  // goes in front, and adjacent pieces are merged, the pair whose merged piece comes first in the
  // vocabulary first (the vocabulary is in merge order). A character no piece spells is written in
  // byte pieces. No start or end token; none at all for a text of spaces only. Any thread may
  // call.
  std::vector<std::int32_t> encode(std::string_view text) const;

  // Whether `token` carries on the word before it: a text piece that begins with a letter or a
  // digit rather than a word boundary ("lin" in "▁Vor" "lin", "ton" after it in "Vorlington").
  bool continuesWord(std::int32_t token) const;

  // Whether `token` is a text piece that ends in a punctuation mark that can end a clause:
  // , . ? ! ; :
  bool endsClause(std::int32_t token) const;

  // The number of pieces.
  std::size_t size() const { return offsets_.size() - 1; }

 private:
  Tokenizer() = default;
  std::string_view piece(std::size_t id) const;

  // Every piece once, back to back: 32000 small strings would each cost an allocation of their
  // own, several times the text.
  std::string pieces_;
  // Piece i is pieces_[offsets_[i], offsets_[i + 1]).
  std::vector<std::uint32_t> offsets_{0};
  // Per piece: the byte of a byte piece, or kText or kControl.
  std::vector<std::int16_t> kinds_;
  static constexpr std::int16_t kText = -1;
  static constexpr std::int16_t kControl = -2;
};

}  // namespace speech::moonshine
