#!/usr/bin/env bash
# Prints a directory holding cpp-httplib's whole header-only httplib.h, from Debian's source
# package (patches applied), fetched once into the cache. Debian's binary package installs the
# header of its shared library, which a Windows build cannot link; the source package has the
# header that needs no library.
set -euo pipefail
cache=${QUILLMEND_CACHE:-$HOME/.cache/quillmend}
dir=$cache/cpp-httplib-windows
if [ ! -f "$dir/.complete" ]; then
  # The deb-src entry for bookworm is the one windows-ffmpeg.sh adds.
  rm -rf "$dir"
  mkdir -p "$dir/source"
  (cd "$dir/source" && apt-get source -qq cpp-httplib >/dev/null 2>&1) ||
    { echo "apt-get source cpp-httplib failed" >&2; exit 1; }
  header=$(find "$dir/source" -maxdepth 2 -name httplib.h | head -n 1)
  [ -n "$header" ] || { echo "no httplib.h in Debian's cpp-httplib source" >&2; exit 1; }
  mkdir -p "$dir/include"
  cp "$header" "$dir/include/httplib.h"
  touch "$dir/.complete"
fi
echo "$dir/include"
