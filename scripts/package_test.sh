#!/usr/bin/env bash
# Checks what a user installs, from an already built tree:
#   1. `cmake --install` into a scratch prefix: both programs, both man pages and the dictation
#      model land there, the pages render without warnings, and the installed vorlin-dictate
#      transcribes a recording.
#   2. `cpack -G DEB`: the package holds the same, installs with apt-get (its dependencies come
#      along), the installed /usr/bin/vorlin-dictate transcribes the recording, /usr/bin/vorlin-wake
#      starts with every library it needs, and lintian reports no errors.
# The package is removed again at the end. Needs root (or sudo) for apt-get.
#
# Usage: scripts/package_test.sh BUILD_DIR
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build=$(cd "$1" && pwd)
tests=$(cd "$(dirname "$0")/../tests" && pwd)
[ -f "$build/CPackConfig.cmake" ] || { echo "package_test: $build is not a configured build" >&2; exit 2; }
if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo); fi

clips=/usr/share/pocketsphinx/test/data/librivox
clip=sense_and_sensibility_01_austen_64kb-0870
# The dictation model, as the build tree holds it and as the programs look for it under their
# prefix.
model=share/vorlin-speech/moonshine-tiny
model_files=(encoder_model.onnx decoder_model_merged.onnx tokenizer.txt LICENSE)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/vorlin-package.XXXXXX")
installed_package=0
cleanup() {
  if [ "$installed_package" = 1 ]; then
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq vorlin-speech >/dev/null
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT

fail() {
  echo "package_test: FAILED: $*" >&2
  exit 1
}

sox "$clips/$clip.wav" -t raw -r 16000 -e signed -b 16 -c 1 "$scratch/clip.pcm"
reference=$(sed -n "s/^<s> \(.*\) <\/s> ($clip)\$/\1/p" "$clips/transcription")
[ -n "$reference" ] || fail "no reference transcript for $clip in $clips/transcription"

# dictate BINARY: runs it on the recording and checks the status, the silent stderr, that every
# line is a transcript line and that the last one is close to the reference.
dictate() {
  local binary=$1 status=0
  "$binary" <"$scratch/clip.pcm" >"$scratch/out" 2>"$scratch/err" || status=$?
  [ "$status" = 0 ] || fail "$binary exited with status $status: $(cat "$scratch/err")"
  [ ! -s "$scratch/err" ] || fail "$binary wrote on stderr: $(cat "$scratch/err")"
  PYTHONPATH="$tests" python3 - "$scratch/out" "$reference" "$binary" <<'EOF'
import sys
from e2e_common import transcript_lines, word_errors, words_of
out, reference, binary = sys.argv[1], sys.argv[2].split(), sys.argv[3]
lines = transcript_lines(open(out, "rb").read())
assert lines, binary + " wrote no line"
final = words_of(lines[-1])
errors = word_errors(reference, final)
print("%s: %d lines, %d word errors of %d: %s" % (binary, len(lines), errors, len(reference),
                                                   " ".join(final)))
if errors > len(reference) // 2:
    sys.exit("final line far from the reference: " + " ".join(reference))
EOF
}

echo "== cmake --install into a scratch prefix"
prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/vorlin-dictate bin/vorlin-wake share/man/man1/vorlin-dictate.1.gz \
  share/man/man1/vorlin-wake.1.gz; do
  [ -f "$prefix/$f" ] || fail "cmake --install did not install $f"
done
# installed_model PREFIX: the model's files under PREFIX are the build tree's, readable by all.
installed_model() {
  local f
  for f in "${model_files[@]}"; do
    [ -s "$build/$model/$f" ] || fail "the build tree has no $model/$f: run scripts/fetch_models.sh"
    cmp -s "$build/$model/$f" "$1/$model/$f" || fail "$1/$model/$f is not the build tree's $f"
    [ "$(stat -c %a "$1/$model/$f")" = 644 ] || fail "$1/$model/$f is not mode 644"
  done
}
installed_model "$prefix"
for page in "$prefix"/share/man/man1/*.1.gz; do
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$page: $warnings"
done
dictate "$prefix/bin/vorlin-dictate"

echo "== cpack -G DEB"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/package" >/dev/null
debs=("$scratch"/package/vorlin-speech_*.deb)
[ ${#debs[@]} = 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single vorlin-speech package"
deb=${debs[0]}
dpkg-deb -f "$deb" Package Version Depends
# Checked in the package rather than on the disk: minimal images tell dpkg to skip man pages.
contents=$(dpkg-deb -c "$deb")
for f in usr/bin/vorlin-dictate usr/bin/vorlin-wake usr/share/man/man1/vorlin-dictate.1.gz \
  usr/share/man/man1/vorlin-wake.1.gz usr/share/doc/vorlin-speech/copyright \
  "${model_files[@]/#/usr/$model/}"; do
  grep -q " \./$f\$" <<<"$contents" || fail "$deb does not hold /$f"
done
# The MIT licences of the model and of its vocabulary ask for their notices in every copy.
copyright=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/vorlin-speech/copyright)
for holder in "Useful Sensors, Inc." "belladore.ai"; do
  grep -q "^Copyright: .*$holder" <<<"$copyright" || fail "the copyright file does not name $holder"
done

echo "== lintian"
# Errors fail the test; warnings are shown. (Run as root in CI, lintian says it would rather not.)
status=0
report=$(lintian --fail-on error "$deb" 2>&1) || status=$?
grep -v 'running with root privileges' <<<"$report" || true
[ "$status" = 0 ] || fail "lintian reports errors on $deb"

echo "== apt-get install ./$(basename "$deb")"
installed_package=1
(cd "$(dirname "$deb")" && "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -qq --no-install-recommends "./$(basename "$deb")" >/dev/null)
[ "$(dpkg-query -W -f='${Status}' vorlin-speech)" = "install ok installed" ] ||
  fail "vorlin-speech is not installed"
installed_model /usr
dictate /usr/bin/vorlin-dictate

# With no audio server the installed vorlin-wake must get as far as the microphone: its model and
# every library resolved, then its one line and status 3.
status=0
PULSE_SERVER="unix:$scratch/no-server" timeout 60 /usr/bin/vorlin-wake >"$scratch/wake.out" \
  2>"$scratch/wake.err" </dev/null || status=$?
[ "$status" = 3 ] || fail "vorlin-wake without an audio server: status $status: $(cat "$scratch/wake.err")"
grep -qx 'vorlin-wake: the microphone did not start: .*' "$scratch/wake.err" ||
  fail "vorlin-wake without an audio server wrote: $(cat "$scratch/wake.err")"
[ ! -s "$scratch/wake.out" ] || fail "vorlin-wake wrote on stdout: $(cat "$scratch/wake.out")"
echo "/usr/bin/vorlin-wake: $(cat "$scratch/wake.err")"

echo "package test passed"
