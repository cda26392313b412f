#!/usr/bin/env bash
# Sets up the machine, builds, and runs the whole test suite three times: as users get it
# (build/), as the Windows x64 build under Wine (build-windows/), and instrumented with
# AddressSanitizer, LeakSanitizer and UBSan (build-asan/), where any finding fails the test that
# hit it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
ctest --test-dir "${QUILLMEND_BUILD_DIR:-build}" --output-on-failure -j"$(nproc)"

# After the native run: the Windows tests read the recordings it made.
scripts/test-windows.sh

# A unity build at -O1 with line tables only, without the benchmarks, keeps the second build
# short; stack traces still name files and lines. The installed-package test is left out there:
# it builds a host outside the instrumented build, which cannot load an instrumented library
# without the sanitizer runtime first; the first run covers it.
asan_dir=${QUILLMEND_ASAN_BUILD_DIR:-build-asan}
QUILLMEND_BUILD_DIR=$asan_dir scripts/build.sh -DQUILLMEND_SANITIZE=ON \
  -DQUILLMEND_BUILD_BENCH=OFF -DCMAKE_UNITY_BUILD=ON \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1"
ctest --test-dir "$asan_dir" --output-on-failure -j"$(nproc)" -E '^InstalledPackage\.'
