#!/usr/bin/env bash
# Builds and runs every test of one build configuration (a CMake preset:
# dev by default; asan, tsan, release). Several presets run one after another.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

[ $# -gt 0 ] || set -- dev
for preset in "$@"; do
  if [ "$preset" = m32 ]; then
    scripts/i386-exec.sh
  fi
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "=== $preset: tests"
  ctest --preset "$preset"
done
