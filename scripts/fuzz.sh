#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset, clang) and runs each one
# briefly from its seed corpus. FUZZ_SECONDS sets the time per target.
# Any crash, leak or sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
seconds=${FUZZ_SECONDS:-30}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

# target binary (under build/fuzz) : seed folder (in the source tree)
fuzzers=(
  passcheck/fuzz/passcheck_request_fuzz:passcheck/fuzz/seeds
  boardprobe/fuzz/smbios_fuzz:boardprobe/fuzz/seeds
  authrelayd/fuzz/authrelay_receive_fuzz:authrelayd/fuzz/seeds
)

for entry in "${fuzzers[@]}"; do
  bin="build/fuzz/${entry%%:*}"
  seeds="${entry#*:}"
  corpus=$(mktemp -d /tmp/corpus.XXXXXX)
  cp -r "$seeds"/. "$corpus"/
  echo "=== fuzz: $(basename "$bin") for ${seconds}s"
  # A private mount namespace with /dev/null over the last-login file: a
  # lucky input must not write records to the real one.
  rc=0
  unshare --mount --propagation private sh -c \
    'mount --bind /dev/null /var/log/lastlog && exec "$@"' sh \
    "$bin" -max_total_time="$seconds" -max_len=2048 -close_fd_mask=2 -print_final_stats=1 "$corpus" || rc=$?
  rm -rf "$corpus"
  if [ "$rc" -ne 0 ]; then
    echo "fuzz: $(basename "$bin") failed with $rc" >&2
    exit "$rc"
  fi
done
