#!/usr/bin/env bash
# A ThreadSanitizer run, by hand and not in CI: builds the libraries with -fsanitize=thread into
# build-tsan/, records a few clips with the ffmpeg tool, damages copies as a recorder that lost
# power leaves them, and has fuzz/concurrent_repairs repair them both ways, first one at a
# time, then all at once on a thread each, into directories of their own. Fails on a report of
# the sanitizer or on outputs that differ between the two passes.
# Usage: scripts/tsan.sh [recordings]   (default 4, so 8 repairs run at once)
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-4}
build=${QUILLMEND_TSAN_BUILD_DIR:-build-tsan}

scripts/setup.sh
scripts/build.sh >/dev/null  # recorderize, uninstrumented
QUILLMEND_BUILD_DIR=$build scripts/build.sh -DQUILLMEND_SANITIZE=thread \
  -DQUILLMEND_BUILD_TESTS=OFF -DQUILLMEND_BUILD_BENCH=OFF >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
record() {  # seconds, tone, output
  timeout 60 ffmpeg -nostdin -v error -f lavfi -i "sine=frequency=$2:duration=$1" \
    -f lavfi -i "anoisesrc=color=pink:amplitude=0.2:duration=$1" \
    -filter_complex amix=inputs=2:duration=shortest -ac 2 -ar 44100 -c:a aac -b:a 128k \
    -cutoff 20000 -y "$work/encoded.m4a"
  "${QUILLMEND_BUILD_DIR:-build}/bin/recorderize" "$work/encoded.m4a" "$3"
}
record 3 660 "$work/sample.m4a"
for i in $(seq 1 "$count"); do
  record 4 $((300 + 100 * i)) "$work/recording.m4a"
  moov=$(grep -obUa moov "$work/recording.m4a" | tail -n 1 | cut -d: -f1)
  head -c $((moov - 4)) "$work/recording.m4a" >"$work/damaged-$i.m4a"
done
mkdir -p "$work/out"
"$build/bin/concurrent_repairs" "$work/out" "$work/sample.m4a" "$work"/damaged-*.m4a
echo "ThreadSanitizer: no reports"
