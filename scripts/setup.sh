#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the benchmarks and the demo need.
# Safe to run again: apt-get skips what is installed.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libpocketsphinx-dev libsphinxbase-dev pocketsphinx pocketsphinx-en-us pocketsphinx-testdata
  libsoxr-dev libspeexdsp-dev libpulse-dev pulseaudio pulseaudio-utils
  flite sox python3 util-linux clang libclang-rt-14-dev wamerican
  scdoc lintian dpkg-dev file man-db
  libonnx-dev libprotobuf-dev protobuf-compiler python3-onnx libdnnl-dev
  nodejs
  espeak-ng fortunes
)

if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo); fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
fi

# Debian's Node.js leaves npm to a package of its own; other builds of Node.js carry it.
if ! command -v npm >/dev/null; then
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends npm
fi

# The dictation model, and ONNX Runtime for Node.js as the reference our engine is tested
# against (its install script would fetch GPU builds from outside the registry: the CPU library
# is in the package itself).
bash scripts/fetch_models.sh
npm ci --silent --ignore-scripts --no-audit --no-fund --prefix tests/oracle
