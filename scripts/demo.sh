#!/usr/bin/env bash
# Installs what is needed, builds, and dictates a real recording into JSON lines.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DVORLIN_TESTS=OFF >/dev/null
cmake --build build/release -j2 --target vorlin-dictate >/dev/null
clip=/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-0870.wav
echo "dictating $clip" >&2
# The program takes headerless PCM: sox strips the WAV header.
sox "$clip" -t raw -r 16000 -e signed -b 16 -c 1 - | build/release/dictate/vorlin-dictate
