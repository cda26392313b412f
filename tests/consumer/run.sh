#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a host program against it, once with
# CMake's find_package and once with pkg-config, then runs both and the installed tool.
set -euo pipefail
build_dir=$1
source_dir=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libquillmend_sdk.so' | head -n 1)")

cmake -S "$source_dir" -B "$scratch/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/cmake-build" >/dev/null
"$scratch/cmake-build/consumer" "$scratch"

export PKG_CONFIG_PATH=$libdir/pkgconfig
cc "$source_dir/consumer.c" -o "$scratch/pkg-consumer" $(pkg-config --cflags --libs quillmend_sdk quillmend)
LD_LIBRARY_PATH=$libdir "$scratch/pkg-consumer" "$scratch"

# The installed tool finds its libraries and has the transcoder beside it.
"$prefix/bin/quillmend" --version
test -x "$prefix/bin/ffmpeg"
