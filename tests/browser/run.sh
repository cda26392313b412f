#!/usr/bin/env bash
# The local page in a real browser: installs the test's node packages (npm ci, once per lock
# file) into BUILD_DIR/browser-test and runs repair_on_the_page.mjs there against the real
# `quillmend serve`, with Debian's chromium headless.
# Usage: run.sh BUILD_DIR QUILLMEND RECORDERIZE
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$1/browser-test
mkdir -p "$work"

if ! "$2" serve --help >/dev/null 2>&1; then
  echo "this quillmend has no serve command: skipped"
  exit 77
fi
for tool in node npm chromium ffmpeg ffprobe; do
  command -v "$tool" >/dev/null || { echo "$tool is missing: run scripts/setup.sh" >&2; exit 1; }
done

if ! cmp -s "$here/package-lock.json" "$work/node_modules/.quillmend-lock"; then
  cp "$here/package.json" "$here/package-lock.json" "$work/"
  (cd "$work" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
  cp "$here/package-lock.json" "$work/node_modules/.quillmend-lock"
fi
cp "$here/repair_on_the_page.mjs" "$work/"
cd "$work"
QUILLMEND="$2" RECORDERIZE="$3" exec node repair_on_the_page.mjs
