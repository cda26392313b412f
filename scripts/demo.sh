#!/usr/bin/env bash
# Sets up the machine, builds, records a short clip, damages a copy the way a recorder that lost
# power does (the index at the end never written), and repairs it with the example host.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
build_dir=${QUILLMEND_BUILD_DIR:-build}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ffmpeg -nostdin -v error -f lavfi -i "sine=frequency=440:duration=10" -ac 2 -ar 44100 \
  -c:a aac -b:a 128k "$work/memo.m4a"
# Keep everything before the moov box: what a recorder leaves when it dies before the index.
moov=$(grep -obUaP 'moov' "$work/memo.m4a" | tail -n 1 | cut -d: -f1)
head -c $((moov - 4)) "$work/memo.m4a" >"$work/memo-damaged.m4a"
echo "== ffprobe on the damaged copy:"
ffprobe -v error "$work/memo-damaged.m4a" || true
echo "== repair:"
"$build_dir/bin/repair_example" "$work" "$work/memo-damaged.m4a" "$work/memo-repaired.m4a" || true
echo "== log:"
cat "$work/quillmend_sdk.log"
