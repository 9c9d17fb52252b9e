#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the benchmarks and the demo need.
# Safe to run again: apt-get skips what is installed.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libpocketsphinx-dev libsphinxbase-dev pocketsphinx pocketsphinx-en-us pocketsphinx-testdata
  libsoxr-dev libspeexdsp-dev libpulse-dev pulseaudio pulseaudio-utils
  flite sox python3 util-linux clang wamerican
  libclang-rt-dev
  scdoc lintian dpkg-dev file man-db
  libonnx-dev libprotobuf-dev protobuf-compiler python3-onnx libdnnl-dev
  nodejs
  espeak-ng fortunes
)

# Whatever fails says so, after the tool's own message, with what to try.
fail() {  # fail WHAT HINT
  printf 'setup: %s failed\n  try: %s\n' "$1" "$2" >&2
  exit 1
}

apt_get() {
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || fail "sudo (not installed)" "run scripts/setup.sh as root"
    sudo=(sudo)
  fi
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get "$@" ||
    fail "apt-get $1" "check the sources in /etc/apt/sources.list and /etc/apt/sources.list.d \
(a Debian 12 or 13 mirror, main), the network and any proxy (Acquire::http::Proxy), then run \
scripts/setup.sh again"
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt_get update -qq
  apt_get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Debian's Node.js leaves npm to a package of its own; other builds of Node.js carry it.
if ! command -v npm >/dev/null; then
  apt_get install -y -qq --no-install-recommends npm
fi

# The dictation model, and ONNX Runtime for Node.js as the reference our engine is tested
# against (its install script would fetch GPU builds from outside the registry: the CPU library
# is in the package itself). fetch_models.sh explains its own failures.
bash scripts/fetch_models.sh
npm ci --loglevel=error --ignore-scripts --no-audit --no-fund --prefix tests/oracle >/dev/null ||
  fail "npm ci of ONNX Runtime for Node.js (tests/oracle) from $(npm config get registry)" \
    "check the network, a proxy (npm config set https-proxy URL) or a certificate authority \
(npm config set cafile FILE), then run scripts/setup.sh again"
