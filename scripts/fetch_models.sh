#!/usr/bin/env bash
# Fetches the dictation model from the npm registry: Moonshine tiny's two quantized ONNX files,
# its MIT licence, and the vocabulary of its SentencePiece tokenizer (one piece a line, the line
# number is the token id), into DIR (default: models/moonshine-tiny). Pinned versions; npm checks
# each package's integrity. Safe to run again: a complete DIR is left as it is.
set -euo pipefail
cd "$(dirname "$0")/.."
dest=${1:-models/moonshine-tiny}
moonshine=@moonshine-ai/moonshine-js@0.1.29
tokenizer=llama-tokenizer-js@1.2.2
files=(encoder_model.onnx decoder_model_merged.onnx tokenizer.txt LICENSE)

complete=1
for f in "${files[@]}"; do [ -s "$dest/$f" ] || complete=0; done
[ "$complete" -eq 1 ] && exit 0

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# npm's own error goes to standard error; the names of the packed files are not needed.
if ! (cd "$tmp" && npm pack --loglevel=error "$moonshine" "$tokenizer" >/dev/null); then
  cat >&2 <<EOF
fetch_models: npm pack of $moonshine and $tokenizer from $(npm config get registry) failed
  try: check the network, a proxy (npm config set https-proxy URL) or a certificate authority
  (npm config set cafile FILE); after EINTEGRITY, npm cache clean --force. Then run $0 again.
EOF
  exit 1
fi
mkdir -p "$tmp/moonshine" "$tmp/tokenizer"
tar -xzf "$tmp"/moonshine-ai-moonshine-js-*.tgz -C "$tmp/moonshine"
tar -xzf "$tmp"/llama-tokenizer-js-*.tgz -C "$tmp/tokenizer"

# The files are written beside DIR and renamed into it only when whole: a fetch cut short leaves
# no truncated file that would pass for a complete model.
mkdir -p "$dest"
part="$dest/.fetching"
rm -rf "$part"
mkdir "$part"
cp "$tmp/moonshine/package/dist/model/tiny/quantized/encoder_model.onnx" \
  "$tmp/moonshine/package/dist/model/tiny/quantized/decoder_model_merged.onnx" \
  "$tmp/moonshine/package/LICENSE" "$part/"
# The tokenizer package carries its vocabulary as base64 of the pieces, one a line, in UTF-8.
node -e '
  const fs = require("fs");
  const js = fs.readFileSync(process.argv[1], "utf8");
  const m = js.match(/const llama_vocab_base64 = "([^"]+)"/);
  if (!m) { console.error("fetch_models: no vocabulary in " + process.argv[1]); process.exit(1); }
  fs.writeFileSync(process.argv[2], Buffer.from(m[1], "base64"));
' "$tmp/tokenizer/package/llama-tokenizer.js" "$part/tokenizer.txt"
for f in "${files[@]}"; do mv "$part/$f" "$dest/$f"; done
rmdir "$part"
