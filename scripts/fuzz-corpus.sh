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
# bytes_at FILE OFFSET COUNT: without a pipe whose reader stops early, which pipefail would take
# for a failure of the writer.
bytes_at() { dd if="$1" iflag=skip_bytes,count_bytes skip="$2" count="$3" bs=64K status=none; }

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
  bytes_at "$source" $((mdat + 4)) $((moov - mdat - 8)) >"$work/$name-raw-frames"
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
record main 1 2 44100 -b:a 96k -profile:a aac_main -aac_pred 1  # frames with prediction data
"$bin/recorderize" "$work/stereo.m4a" "$work/recorder.m4a"

damage stereo decode_frames container walk
damage mono decode_frames general_repair walk
damage recorder general_repair walk
damage low-rate walk
damage main walk
for name in stereo mono low-rate front-index recorder; do
  mkdir -p "$seeds/prepare_sample"
  cp "$work/$name.m4a" "$seeds/prepare_sample/"
done
cp "$work/front-index.m4a" "$seeds/general_repair/"
# The frame parser reads from the first byte: media data that starts with a frame.
mkdir -p "$seeds/aac_frame"
for name in stereo mono recorder main; do
  head -c 16384 "$work/$name-raw-frames" >"$seeds/aac_frame/$name"
done
# The ALAC target reads frames from the first byte, and a cookie (the sample entry's 'alac'
# box, the last of the file's 'alac' names) before frames.
mkdir -p "$seeds/alac_frame"
record alac-stereo 1 2 44100 -c:a alac -sample_fmt s16p
record alac-mono 1 1 48000 -c:a alac -sample_fmt s32p
record alac-verbatim 1 1 44100 -c:a alac -sample_fmt s16p -compression_level 0 -t 0.2
damage alac-stereo walk
damage alac-mono walk
for name in alac-stereo alac-mono alac-verbatim; do
  file=$work/$name.m4a
  mdat=$(offset_of mdat "$file")
  bytes_at "$file" $((mdat + 4)) 16384 >"$seeds/alac_frame/$name"
  cookie=$(($(last_offset_of alac "$file") - 4))
  { bytes_at "$file" "$cookie" 36; cat "$seeds/alac_frame/$name"; } >"$seeds/alac_frame/$name-cookie"
done
# The container reader's: the layouts other muxers write, beside the damaged copies above.
record quicktime 1 2 44100 -b:a 64k -f mov
record fragmented 1 2 44100 -b:a 64k -movflags frag_keyframe+empty_moov -frag_duration 300000
cp "$work/quicktime.m4a" "$work/fragmented.m4a" "$work/front-index.m4a" "$seeds/container/"
# The walk's: the other layouts too, whole, as the walk meets them beside the damaged copies.
cp "$work/quicktime.m4a" "$work/fragmented.m4a" "$work/front-index.m4a" "$seeds/walk/"
timeout 60 ffmpeg -nostdin -v error -f lavfi -i sine=frequency=523:duration=0.3 -c:a alac \
  -y "$seeds/container/alac.m4a"
timeout 60 ffmpeg -nostdin -v error -f lavfi -i testsrc=d=0.4:s=64x64 \
  -f lavfi -i sine=frequency=523:duration=0.4 -c:v libx264 -c:a aac -y "$seeds/container/video.mp4"
# The NAL unit run reads from a video chunk's first byte: media data of video beside audio.
mkdir -p "$seeds/nal_run"
for video in "libx264 -x264-params aud=1" "libx265 -x265-params log-level=error:aud=1"; do
  # shellcheck disable=SC2086  # the encoder and its options are words
  timeout 60 ffmpeg -nostdin -v error -f lavfi -i testsrc2=duration=1:size=320x240:rate=30 \
    -f lavfi -i "sine=frequency=523:duration=1:sample_rate=48000" -c:v $video -c:a aac -ac 1 \
    -y "$work/video.mp4"
  mdat=$(offset_of mdat "$work/video.mp4")
  bytes_at "$work/video.mp4" $((mdat + 4)) 16384 >"$seeds/nal_run/${video%% *}"
  # The walk steps over the pictures between the sound's frames.
  head -c $(($(last_offset_of moov "$work/video.mp4") - 4)) "$work/video.mp4" \
    >"$seeds/walk/video-${video%% *}-no-index"
done
for target in general_repair prepare_sample decode_frames text aac_frame alac_frame container nal_run \
  walk; do
  echo "$target: $(find "$seeds/$target" -type f | wc -l) seeds"
done
