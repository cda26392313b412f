#!/usr/bin/env bash
# The whole story in under a minute: record a clip, damage a copy the way a recorder that lost
# power leaves it, watch ffprobe give up, repair it three ways with quillmend, play it back.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh >/dev/null
bin=$PWD/${QUILLMEND_BUILD_DIR:-build}/bin

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
record() {  # seconds, tone, output: a tone over pink noise, as a recorder would write it
  ffmpeg -nostdin -v error -f lavfi -i "sine=frequency=$2:duration=$1" \
    -f lavfi -i "anoisesrc=color=pink:amplitude=0.2:duration=$1" \
    -filter_complex amix=inputs=2:duration=shortest -ac 2 -ar 44100 -c:a aac -b:a 128k \
    -cutoff 20000 encoded.m4a -y
  "$bin/recorderize" encoded.m4a "$3"
}

say "Recording a 15-second memo, and an earlier healthy recording from the same recorder"
record 15 440 memo.m4a
record 5 660 earlier.m4a
ls -l memo.m4a earlier.m4a

say "The recorder loses power before it writes its index (the moov box at the end)"
moov=$(grep -obUa moov memo.m4a | tail -n 1 | cut -d: -f1)
head -c $((moov - 4)) memo.m4a >memo-damaged.m4a
ls -l memo-damaged.m4a
ffprobe -v error memo-damaged.m4a || echo "(ffprobe cannot read it)"

say "What quillmend sees in it"
"$bin/quillmend" inspect memo-damaged.m4a

say "Exact repair: every AAC frame that survived, copied byte for byte into a new file"
"$bin/quillmend" repair memo-damaged.m4a --log-dir "$work/logs"

say "General repair: the frames cut by the heads most recorders write"
"$bin/quillmend" repair memo-damaged.m4a --method general -o memo-general.m4a \
  --log-dir "$work/logs"

say "Advanced repair: decoded with the earlier recording's settings and encoded again"
"$bin/quillmend" repair memo-damaged.m4a --method advanced --sample earlier.m4a \
  -o memo-advanced.m4a --log-dir "$work/logs"

say "Playing both back (decoded to nowhere; duration and frames as FFmpeg reads them)"
for file in memo-damaged-repaired.m4a memo-general.m4a memo-advanced.m4a; do
  ffprobe -v error -select_streams a:0 -count_packets \
    -show_entries format=duration:stream=codec_name,nb_read_packets -of compact=p=0 "$file" |
    tr '\n' ' '
  ffmpeg -nostdin -v quiet -i "$file" -f null - && echo " -> $file plays"
done
