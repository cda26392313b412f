#!/usr/bin/env bash
# Times the three repairs through the quillmend tool against the FFmpeg baselines that bound them,
# side by side and alternating, and prints medians and ratios.
#   scripts/bench.sh [runs] [--long]
# Recordings are made once with the ffmpeg tool into $QUILLMEND_BENCH_DATA (default
# build/bench-data): 30 minutes of stereo AAC at 128 kbit/s whose moov was cut off, and with
# --long a 3-hour one for the memory figures. Speed targets are checked here, never in tests.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
long=no
[ "${2:-}" = "--long" ] && long=yes
scripts/setup.sh time bc
scripts/build.sh >/dev/null
bin=$PWD/${QUILLMEND_BUILD_DIR:-build}/bin
data=${QUILLMEND_BENCH_DATA:-$PWD/build/bench-data}
mkdir -p "$data"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# name, seconds, tone: a tone over pink noise at full bandwidth, made to look recorder-written,
# plus the copy that lost its index and the ADTS stream of the same frames.
make_recording() {
  local name=$1 seconds=$2 tone=$3
  [ -f "$data/$name-damaged.m4a" ] && return
  echo "making $name ($seconds s)..." >&2
  timeout 3600 ffmpeg -nostdin -v error -y \
    -f lavfi -i "sine=frequency=$tone:sample_rate=44100:duration=$seconds" \
    -f lavfi -i "anoisesrc=color=pink:amplitude=0.2:seed=7:sample_rate=44100:duration=$seconds" \
    -filter_complex "amix=inputs=2:duration=shortest" -ac 2 -ar 44100 -c:a aac -b:a 128k \
    -cutoff 20000 "$scratch/encoded.m4a"
  "$bin/recorderize" "$scratch/encoded.m4a" "$data/$name-healthy.m4a"
  timeout 600 ffmpeg -nostdin -v error -y -i "$data/$name-healthy.m4a" -c copy -f adts \
    "$data/$name-frames.adts"
  local moov
  moov=$(grep -obUa moov "$data/$name-healthy.m4a" | tail -n 1 | cut -d: -f1)
  head -c $((moov - 4)) "$data/$name-healthy.m4a" >"$data/$name-damaged.m4a"
}
# A 2-minute voice memo as phones record one: mono, 48 kHz, 64 kbit/s, index lost.
make_memo() {
  [ -f "$data/memo-damaged.m4a" ] && return
  echo "making memo (120 s)..." >&2
  timeout 600 ffmpeg -nostdin -v error -y -f lavfi \
    -i "aevalsrc=0.4*sin(2*PI*(150+40*sin(2*PI*2*t))*t)*(0.6+0.4*sin(2*PI*3*t))+0.02*(2*random(0)-1):s=48000:d=120" \
    -c:a aac -b:a 64k "$data/memo-healthy.m4a"
  local moov
  moov=$(grep -obUa moov "$data/memo-healthy.m4a" | tail -n 1 | cut -d: -f1)
  head -c $((moov - 4)) "$data/memo-healthy.m4a" >"$data/memo-damaged.m4a"
}
make_recording sample 60 660
make_recording 30min 1800 440
make_memo
[ $long = yes ] && make_recording 3h 10800 440

# Runs a command under /usr/bin/time -v; appends "seconds maxrss_kb [own_kb]" to $results/$label.
results=$scratch/results
mkdir -p "$results"
measure() {
  local label=$1
  shift
  /usr/bin/time -v -o "$scratch/time.txt" "$@" >"$scratch/out.txt" 2>/dev/null || true
  local elapsed rss own
  elapsed=$(awk -F': ' '/Elapsed \(wall clock\)/ {n=split($2,t,":"); s=0; for(i=1;i<=n;i++) s=s*60+t[i]; print s}' "$scratch/time.txt")
  rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$scratch/time.txt")
  own=$(grep -o '"peak_memory_kb":[0-9]*' "$scratch/out.txt" | cut -d: -f2 || true)
  echo "$elapsed $rss ${own:-$rss}" >>"$results/$label"
}

quillmend=("$bin/quillmend" repair --force --json --log-dir "$scratch")

# The fixed cost of a repair shows on a short memo: the exact repair against a copy of the
# healthy file's frames.
for ((i = 1; i <= runs; i++)); do
  echo "run $i of $runs (memo)" >&2
  measure "exact-memo" "${quillmend[@]}" "$data/memo-damaged.m4a" -o "$scratch/memo.m4a"
  measure "copy-memo" timeout 600 ffmpeg -nostdin -v error -y -i "$data/memo-healthy.m4a" \
    -c copy "$scratch/memo-copy.m4a"
done

sets=(30min)
[ $long = yes ] && sets+=(3h)
for set in "${sets[@]}"; do
  for ((i = 1; i <= runs; i++)); do
    echo "run $i of $runs ($set)" >&2
    measure "exact-$set" "${quillmend[@]}" "$data/$set-damaged.m4a" -o "$scratch/exact.m4a"
    # What the exact repair sits between: copying the healthy file's frames, and decoding them.
    measure "copy-$set" timeout 600 ffmpeg -nostdin -v error -y -i "$data/$set-healthy.m4a" \
      -c copy "$scratch/copy.m4a"
    measure "decode-$set" timeout 600 ffmpeg -nostdin -v error -i "$data/$set-healthy.m4a" \
      -f null -
    measure "general-$set" "${quillmend[@]}" --method general "$data/$set-damaged.m4a" \
      -o "$scratch/general.m4a"
    measure "remux-$set" timeout 600 ffmpeg -nostdin -v error -y -i "$data/$set-frames.adts" \
      -c copy "$scratch/remux.m4a"
    measure "advanced-$set" "${quillmend[@]}" --method advanced "$data/$set-damaged.m4a" \
      -o "$scratch/advanced.m4a" --sample "$data/sample-healthy.m4a"
    measure "transcode-$set" timeout 3600 ffmpeg -nostdin -v error -y \
      -i "$data/$set-healthy.m4a" -c:a aac -b:a 128k "$scratch/transcode.m4a"
  done
done

median() { sort -n | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
col() { awk -v c="$2" '{print $c}' "$results/$1" | median; }

echo
echo "machine: $(nproc) cores, $(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo)," \
  "$(free -g | awk '/Mem:/ {print $2}') GiB; median of $runs runs"
printf '%-34s %9s %13s %13s %8s\n' "case" "seconds" "max RSS (MB)" "own RSS (MB)" "ratio"
t1=$(col exact-memo 1) t2=$(col copy-memo 1)
printf '%-34s %9.2f %13.1f %13.1f %8.2f\n' "quillmend exact repair (memo)" "$t1" \
  "$(echo "$(col exact-memo 2) / 1024" | bc -l)" "$(echo "$(col exact-memo 3) / 1024" | bc -l)" \
  "$(echo "$t1 / $t2" | bc -l)"
printf '%-34s %9.2f %13.1f %13s %8s\n' "ffmpeg copy (memo)" "$t2" \
  "$(echo "$(col copy-memo 2) / 1024" | bc -l)" "-" "1.00"
for set in "${sets[@]}"; do
  for pair in "exact copy" "exact decode" "general remux" "advanced transcode"; do
    read -r ours base <<<"$pair"
    t1=$(col "$ours-$set" 1) t2=$(col "$base-$set" 1)
    printf '%-34s %9.2f %13.1f %13.1f %8.2f\n' "quillmend $ours repair ($set)" "$t1" \
      "$(echo "$(col "$ours-$set" 2) / 1024" | bc -l)" "$(echo "$(col "$ours-$set" 3) / 1024" | bc -l)" \
      "$(echo "$t1 / $t2" | bc -l)"
    printf '%-34s %9.2f %13.1f %13s %8s\n' "ffmpeg $base ($set)" "$t2" \
      "$(echo "$(col "$base-$set" 2) / 1024" | bc -l)" "-" "1.00"
  done
done
