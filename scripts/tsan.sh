#!/usr/bin/env bash
# A ThreadSanitizer run, by hand and not in CI: builds the libraries and the library's test
# program with -fsanitize=thread into build-tsan/ and runs the test that repairs several
# recordings both ways, first one at a time, then all at once on a thread each, into
# directories of their own. Fails on a report of the sanitizer or on outputs that differ
# between the two passes.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${QUILLMEND_TSAN_BUILD_DIR:-build-tsan}

scripts/setup.sh
QUILLMEND_BUILD_DIR=$build scripts/build.sh -DQUILLMEND_SANITIZE=thread \
  -DQUILLMEND_BUILD_BENCH=OFF >/dev/null
ctest --test-dir "$build" --output-on-failure -R 'RepairsIntoOneDirectoryAtOnce'
echo "ThreadSanitizer: no reports"
