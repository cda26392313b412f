#!/usr/bin/env bash
# Cross-builds, once, the part of Debian's FFmpeg 5.1 that the Windows build needs: the shared
# libraries the library links and an ffmpeg.exe that can stand beside a host program.
#   scripts/windows-ffmpeg.sh            prints the install prefix (building it if needed)
# The result is kept outside the clone, in $QUILLMEND_CACHE (default ~/.cache/quillmend), under
# a name that changes with the configuration, so a second run costs nothing.
set -euo pipefail
cd "$(dirname "$0")/.."

# Assembly would only speed up the encoder of the stand-in ffmpeg.exe the tests run; without it
# the build needs no assembler and takes less time.
flags=(
  --target-os=mingw32 --arch=x86_64 --cross-prefix=x86_64-w64-mingw32-
  --enable-shared --disable-static --disable-everything --disable-autodetect
  --disable-doc --disable-debug --disable-network --disable-avdevice --disable-postproc
  --disable-swscale --disable-ffplay --disable-ffprobe --enable-ffmpeg
  --enable-avfilter --enable-swresample --enable-w32threads --disable-x86asm
  --enable-protocol=file,pipe
  --enable-decoder=aac,alac,pcm_s16le
  --enable-encoder=aac,pcm_s16le
  --enable-parser=aac
  --enable-demuxer=aac,mov,pcm_s16le
  --enable-muxer=ipod,mp4,mov,adts,pcm_s16le,null,md5
  --enable-bsf=aac_adtstoasc
  --enable-filter=aresample,aformat,anull,abuffer,abuffersink
)
cache=${QUILLMEND_CACHE:-$HOME/.cache/quillmend}
key=$(printf '%s\n' "${flags[@]}" | sha256sum | cut -c1-12)
prefix=$cache/ffmpeg-mingw64-$key
if [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi

# Debian's source package, patches applied: fetched from the bookworm sources apt knows of.
work=$cache/ffmpeg-source
if [ ! -f "$work/.fetched" ]; then
  if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ &&
    ! grep -qs '^deb-src' /etc/apt/sources.list; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    echo "Adding the bookworm main source entry" >&2
    # Same keyring as the binary entries: apt refuses one source with two Signed-By values.
    printf '%s\n' 'Types: deb-src' 'URIs: http://deb.debian.org/debian' \
      'Suites: bookworm bookworm-updates' 'Components: main' \
      'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' '' \
      'Types: deb-src' 'URIs: http://deb.debian.org/debian-security' \
      'Suites: bookworm-security' 'Components: main' \
      'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' |
      $sudo tee /etc/apt/sources.list.d/quillmend-sources.sources >/dev/null
    $sudo apt-get update -qq
  fi
  rm -rf "$work"
  mkdir -p "$work"
  (cd "$work" && apt-get source -qq ffmpeg >/dev/null 2>&1) ||
    { echo "apt-get source ffmpeg failed" >&2; exit 1; }
  touch "$work/.fetched"
fi
source_dir=$(find "$work" -maxdepth 1 -type d -name 'ffmpeg-5.1*' | head -n 1)
[ -n "$source_dir" ] || { echo "no ffmpeg-5.1 source in $work" >&2; exit 1; }

build=$cache/ffmpeg-mingw64-build-$key
rm -rf "$build" "$prefix"
mkdir -p "$build"
echo "Cross-building FFmpeg from $(basename "$source_dir") into $prefix" >&2
(
  cd "$build"
  "$source_dir/configure" --prefix="$prefix" "${flags[@]}" >configure.log 2>&1 ||
    { tail -n 30 configure.log >&2; exit 1; }
  make -j"$(nproc)" >make.log 2>&1 || { tail -n 30 make.log >&2; exit 1; }
  make install >install.log 2>&1
)
rm -rf "$build"
touch "$prefix/.complete"
# Builds of other configurations are not used any more.
find "$cache" -maxdepth 1 -name 'ffmpeg-mingw64-*' ! -path "$prefix" -exec rm -rf {} +
echo "$prefix"
