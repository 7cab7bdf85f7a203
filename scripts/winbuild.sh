#!/usr/bin/env bash
# Cross-builds the Windows code with mingw-w64 (the mingw64 preset); every
# target builds with the same warnings-as-errors as on Linux.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
echo "=== mingw64: configure and build"
cmake --preset mingw64 >/dev/null
cmake --build --preset mingw64
