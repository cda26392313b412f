#!/usr/bin/env bash
# Sets up the machine, builds, and runs the whole test suite three times: as users get it
# (build/), as the Windows x64 build under Wine (build-windows/), and instrumented with
# AddressSanitizer, LeakSanitizer and UBSan (build-asan/), where any finding fails the test that
# hit it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh g++-mingw-w64-x86-64-posix wine64 dpkg-dev xz-utils
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

# Much of the Windows side waits on the network, on one-threaded configure steps and on Wine:
# it runs beside the other builds. First FFmpeg for Windows, fetched and cross-built (once per
# cache) while the native build runs.
(scripts/windows-ffmpeg.sh && scripts/windows-httplib.sh) >"$logs/prepare.txt" 2>&1 &
prepare=$!
# The library and the tools as one unity build each, with line tables only: the test programs
# are most of the build, and full debug information would double its time.
scripts/build.sh -DCMAKE_UNITY_BUILD=ON -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1" \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1"
ctest --test-dir "${QUILLMEND_BUILD_DIR:-build}" --output-on-failure -j"$(nproc)"

# The Windows tests read the recordings that the native run made.
wait "$prepare" || { cat "$logs/prepare.txt"; exit 1; }
scripts/test-windows.sh >"$logs/windows.txt" 2>&1 &
windows=$!

# A unity build at -O1 with line tables only, without the benchmarks, keeps the second build
# short; stack traces still name files and lines. The installed-package test is left out there:
# it builds a host outside the instrumented build, which cannot load an instrumented library
# without the sanitizer runtime first; the first run covers it. The recordings are the native
# run's: FFmpeg's encoder is not what this run checks.
status=0
asan_dir=${QUILLMEND_ASAN_BUILD_DIR:-build-asan}
QUILLMEND_BUILD_DIR=$asan_dir scripts/build.sh -DQUILLMEND_SANITIZE=ON \
  -DQUILLMEND_BUILD_BENCH=OFF -DCMAKE_UNITY_BUILD=ON \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1" &&
  QUILLMEND_TEST_MEDIA=$PWD/${QUILLMEND_BUILD_DIR:-build}/test-media \
    ctest --test-dir "$asan_dir" --output-on-failure -j"$(nproc)" -E '^InstalledPackage\.' ||
  status=1

wait "$windows" || status=1
echo "=== The Windows build under Wine"
cat "$logs/windows.txt"
exit "$status"
