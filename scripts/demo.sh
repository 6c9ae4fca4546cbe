#!/usr/bin/env bash
# The demo: installs what is missing, builds the release preset and runs
# `korvel demo` against the built-in device simulator.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
exec build/release/tools/korvel demo "$@"
