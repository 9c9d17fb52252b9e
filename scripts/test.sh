#!/usr/bin/env bash
# Installs what is needed, builds with warnings as errors, and runs every test: the unit tests
# and the end-to-end tests of the real programs, then the unit tests again under
# AddressSanitizer + UndefinedBehaviorSanitizer and the threaded ones under ThreadSanitizer, the
# fuzzers, and last the demo and the unit tests on Debian 13 (scripts/debian13_test.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=2
build() {  # build DIR [cmake options...]
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "$@"
  cmake --build "$dir" -j"$jobs"
}

echo "== plain build: every test"
build build/ci
ctest --test-dir build/ci --output-on-failure -j"$jobs"

echo "== install, Debian package, lintian"
bash scripts/package_test.sh build/ci

echo "== AddressSanitizer + UndefinedBehaviorSanitizer: unit tests"
build build/ci-asan -DVORLIN_SANITIZE_ADDRESS=ON
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/ci-asan --output-on-failure -j"$jobs" -L unit

echo "== ThreadSanitizer: run loop, streams, capture, both recognizers, the programs' threads"
build build/ci-tsan -DVORLIN_SANITIZE_THREAD=ON
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build/ci-tsan --output-on-failure -j"$jobs" -L unit \
  -R 'RunLoop|Task|Stream|Reader|Lifecycle|PulseEngine|Capture|Wake|Recogni|Pocketsphinx|Neural|HelperThreads'

echo "== libFuzzer: the transcript line writer, the tokenizer, the formatter, the speech engine"
CXX=clang++ CC=clang cmake -S . -B build/ci-fuzz -DVORLIN_FUZZ=ON -DVORLIN_TESTS=OFF \
  -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build build/ci-fuzz -j"$jobs" \
  --target output_fuzz tokenizer_fuzz formatter_fuzz moonshine_fuzz
build/ci-fuzz/dictate/output_fuzz -runs=300000 -max_len=256 -seed=1 2>&1 | tail -n 2
build/ci-fuzz/platform/speech/moonshine/tokenizer_fuzz -runs=100000 -max_len=512 -seed=1 2>&1 |
  tail -n 2
build/ci-fuzz/platform/text/formatter_fuzz -runs=300000 -max_len=256 -seed=1 2>&1 | tail -n 2
# Seeds of real speech (a fraction of a second each: every run decodes it under the sanitizers),
# one with a prefix of three tokens. Byte 0: bit 0 float samples, the rest the prefix length.
seeds=build/ci-fuzz/moonshine-seeds
corpus=build/ci-fuzz/moonshine-corpus
rm -rf "$seeds" "$corpus"
mkdir -p "$seeds" "$corpus"
data=/usr/share/pocketsphinx/test/data
{ printf '\000'; head -c 9600 "$data/goforward.raw"; } >"$seeds/speech"
{ printf '\006\047\013\041\000\202\001'; head -c 9600 "$data/something.raw"; } >"$seeds/prefixed"
build/ci-fuzz/platform/speech/moonshine/moonshine_fuzz -max_total_time=180 -max_len=16000 \
  -seed=1 -rss_limit_mb=4096 -artifact_prefix=build/ci-fuzz/ "$corpus" "$seeds" 2>&1 | tail -n 2

echo "== Debian 13: scripts/demo.sh and the unit tests in a minimal trixie root"
if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo); fi
"${sudo[@]}" bash scripts/debian13_test.sh
