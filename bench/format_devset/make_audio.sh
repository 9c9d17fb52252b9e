#!/usr/bin/env bash
# Speaks every sentence of SENTENCES (default: sentences.tsv beside this script) with its flite
# voice into OUT (default: build/format-devset) as NN.raw, headerless 16 kHz mono s16le, in the order of the file.
# Nothing here is committed; run it again to rebuild.
set -euo pipefail

here=$(dirname "$0")
out=${1:-build/format-devset}
sentences=${2:-$here/sentences.tsv}
mkdir -p "$out"
n=0
while IFS=$'\t' read -r voice spoken _written; do
  n=$((n + 1))
  name=$(printf '%02d' "$n")
  flite -voice "$voice" -t "$spoken" -o "$out/$name.wav"
  sox "$out/$name.wav" -r 16000 -c 1 -b 16 -e signed-integer -t raw "$out/$name.raw"
  rm "$out/$name.wav"
done <"$sentences"
echo "$n clips in $out"
