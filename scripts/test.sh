#!/usr/bin/env bash
# Sets up the machine, builds, and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
ctest --test-dir "${QUILLMEND_BUILD_DIR:-build}" --output-on-failure -j"$(nproc)"
