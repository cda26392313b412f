#!/usr/bin/env bash
# Writes the seed corpora of the fuzz targets into SEED_DIR/<target>/: short recordings made
# with the ffmpeg tool, damaged copies of them as recorders and disks leave them, and the
# fixtures that fuzz/make_seeds builds in code. SEED_DIR/sample.m4a is the healthy recording
# that the decoding target uses as its sample. Nothing here is committed: it is made anew.
# Usage: scripts/fuzz-corpus.sh BUILD_DIR SEED_DIR   (BUILD_DIR has bin/make_seeds, recorderize)
set -euo pipefail
bin=$(cd "$1" && pwd)/bin
seeds=$2
rm -rf "$seeds"
mkdir -p "$seeds"
seeds=$(cd "$seeds" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$bin/make_seeds" "$seeds"

# record NAME SECONDS CHANNELS RATE [ffmpeg output options...]: a tone over noise, so that the
# frames differ from one another as a real recording's do.
record() {
  local name=$1 seconds=$2 channels=$3 rate=$4
  shift 4
  timeout 60 ffmpeg -nostdin -v error -f lavfi -i "sine=frequency=523:duration=$seconds" \
    -f lavfi -i "anoisesrc=color=pink:amplitude=0.1:duration=$seconds" \
    -filter_complex amix=inputs=2:duration=shortest -ac "$channels" -ar "$rate" -c:a aac "$@" \
    -y "$work/$name.m4a"
}
offset_of() { grep -obUa "$1" "$2" | head -n 1 | cut -d: -f1; }
last_offset_of() { grep -obUa "$1" "$2" | tail -n 1 | cut -d: -f1; }

# damage NAME TARGET...: copies of a recording as the repairs meet them, into each target.
damage() {
  local source=$work/$1.m4a name=$1
  shift
  local size moov mdat
  size=$(stat -c %s "$source")
  moov=$(last_offset_of moov "$source")
  mdat=$(offset_of mdat "$source")
  head -c $((moov - 4)) "$source" >"$work/$name-no-index"              # power lost before moov
  cp "$source" "$work/$name-no-header"                                 # header wiped
  dd if=/dev/zero of="$work/$name-no-header" bs=1 count=64 conv=notrunc status=none
  tail -c +$((mdat + 5)) "$source" | head -c $((moov - mdat - 8)) >"$work/$name-raw-frames"
  cp "$source" "$work/$name-burst"                                     # bad bytes mid-audio
  head -c 300 /dev/zero | tr '\0' '\377' |
    dd of="$work/$name-burst" bs=1 seek=$((size / 2)) conv=notrunc status=none
  head -c $((size * 2 / 3)) "$source" >"$work/$name-cut"               # copy broken off
  for target in "$@"; do
    mkdir -p "$seeds/$target"
    cp "$source" "$work/$name-no-index" "$work/$name-no-header" "$work/$name-raw-frames" \
      "$work/$name-burst" "$work/$name-cut" "$seeds/$target/"
  done
}

# The decoding target's sample and the damaged files it is fed share the encoder settings, so
# that the profile learned from the one finds the frames of the others.
record sample 1 2 44100 -b:a 128k -cutoff 20000
cp "$work/sample.m4a" "$seeds/sample.m4a"
record stereo 1 2 44100 -b:a 128k -cutoff 20000
record mono 1 1 48000 -b:a 64k
record low-rate 1 2 22050 -b:a 48k
record front-index 1 2 44100 -b:a 96k -movflags +faststart
"$bin/recorderize" "$work/stereo.m4a" "$work/recorder.m4a"

damage stereo decode_frames
damage mono decode_frames general_repair
damage recorder general_repair
for name in stereo mono low-rate front-index recorder; do
  mkdir -p "$seeds/prepare_sample"
  cp "$work/$name.m4a" "$seeds/prepare_sample/"
done
cp "$work/front-index.m4a" "$seeds/general_repair/"
# The frame parser reads from the first byte: media data that starts with a frame.
mkdir -p "$seeds/aac_frame"
for name in stereo mono recorder; do
  head -c 16384 "$work/$name-raw-frames" >"$seeds/aac_frame/$name"
done
# The NAL unit run reads from a video chunk's first byte: media data of video beside audio.
mkdir -p "$seeds/nal_run"
for video in "libx264 -x264-params aud=1" "libx265 -x265-params log-level=error:aud=1"; do
  # shellcheck disable=SC2086  # the encoder and its options are words
  timeout 60 ffmpeg -nostdin -v error -f lavfi -i testsrc2=duration=1:size=320x240:rate=30 \
    -f lavfi -i "sine=frequency=523:duration=1:sample_rate=48000" -c:v $video -c:a aac -ac 1 \
    -y "$work/video.mp4"
  mdat=$(offset_of mdat "$work/video.mp4")
  tail -c +$((mdat + 5)) "$work/video.mp4" | head -c 16384 >"$seeds/nal_run/${video%% *}"
done
for target in general_repair prepare_sample decode_frames text aac_frame nal_run; do
  echo "$target: $(find "$seeds/$target" -type f | wc -l) seeds"
done
