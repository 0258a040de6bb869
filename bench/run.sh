#!/bin/bash
# bench/run.sh: whole-program speed of zoduviv and vizudec (and of the GStreamer element
# vozodivadec, where the plugin is built) on a 1080p movie panned across a real
# photograph, side by side with zstd -1 and cp on the same bytes, in one run.
#
#   bash bench/run.sh [frames] [build-dir]
#
# frames     frames in the movie (default 90; 1920x1080, 6,220,800 bytes each)
# build-dir  a Release build of this tree; default: build-bench next to bench/, made
#            (cmake + make) when it has no zoduviv yet
#
# Environment: ZODUVIV_BENCH_PICTURE picks the photograph (any JPEG or PNG that
# ImageMagick reads; default a wallpaper under /usr/share/wallpapers), TMPDIR the place
# for the scratch files (about 3 x frames x 6.2 MB), REPEAT the runs per command
# (default 3; the best is kept).
#
# Figures are MB/s (10^6 bytes) of uncompressed frame bytes through the whole program,
# wall time, best of REPEAT, with every input already in the page cache. Shared machines
# drift, so compare figures of one run with each other rather than across runs.
set -euo pipefail

frames=${1:-90}
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${2:-$root/build-bench}
repeat=${REPEAT:-3}

die() { echo "bench/run.sh: $*" >&2; exit 1; }

[[ $frames =~ ^[0-9]+$ && $frames -ge 1 ]] || die "frames must be a positive number"
command -v zstd >/dev/null || die "zstd is needed for the comparison"
[[ -x /usr/bin/time ]] || die "GNU time (/usr/bin/time, package 'time') is needed for peak memory"

# ImageMagick, not any other 'convert' on the path.
magick=""
for candidate in /usr/bin/convert-im6.q16 /usr/bin/convert-im6 /usr/bin/magick /usr/bin/convert; do
  if [[ -x $candidate ]] && "$candidate" -version 2>/dev/null | grep -q ImageMagick; then
    magick=$candidate
    break
  fi
done
[[ -n $magick ]] || die "ImageMagick is needed to decode the photograph"

picture=${ZODUVIV_BENCH_PICTURE:-}
if [[ -z $picture ]]; then
  for candidate in /usr/share/wallpapers/EveningGlow/contents/images/2560x1440.jpg \
                   /usr/share/wallpapers/BytheWater/contents/images/2560x1440.jpg; do
    [[ -f $candidate ]] && { picture=$candidate; break; }
  done
fi
if [[ -z $picture ]]; then
  picture=$(find /usr/share/wallpapers -path '*/contents/images/*' \( -name '*.jpg' -o -name '*.png' \) 2>/dev/null | sort | tail -n 1)
fi
[[ -n $picture && -f $picture ]] || die "no photograph found; set ZODUVIV_BENCH_PICTURE"

if [[ ! -x $build/driver/zoduviv || ! -x $build/tools/vizudec || ! -x $build/bench/make_movie ]]; then
  echo "Building Release in $build ..." >&2
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DZODUVIV_BENCH=ON >/dev/null
  cmake --build "$build" -j"$(nproc)" --target zoduviv vizudec make_movie >/dev/null
fi
zoduviv=$build/driver/zoduviv
vizudec=$build/tools/vizudec
# The GStreamer element, where the build has the plugin (GStreamer's development files).
cmake --build "$build" -j"$(nproc)" --target gstvozodiva >/dev/null 2>&1 || true
plugin_dir=$build/gst

work=$(mktemp -d "${TMPDIR:-/tmp}/zoduviv-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The window is 1920x1080 inside a 96-pixel margin that the pan moves through.
"$magick" "$picture" -resize 2112x1272^ -gravity center -extent 2112x1272 ppm:"$work/picture.ppm"
"$build/bench/make_movie" "$work/picture.ppm" "$frames" "$work/movie.mov" "$work/frames.rgb"
frame_bytes=$((frames * 1920 * 1080 * 3))

# measure OUTPUT command...: runs the command REPEAT times (OUTPUT removed before each
# run, outside the timing) and leaves the shortest wall time in best_s and the largest
# peak resident memory (KiB) in best_rss.
best_s=""
best_rss=0
measure() {
  local out=$1
  shift
  best_s=""
  best_rss=0
  for ((k = 0; k < repeat; k++)); do
    rm -f "$out"
    sync
    local t0 t1 rss
    t0=$(date +%s%N)
    /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null
    t1=$(date +%s%N)
    rss=$(tail -n 1 "$work/rss")
    local s
    s=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')
    if [[ -z $best_s ]] || awk -v x="$s" -v y="$best_s" 'BEGIN { exit !(x < y) }'; then best_s=$s; fi
    if ((rss > best_rss)); then best_rss=$rss; fi
  done
}

rows=()
row() {  # name command-text output-file-for-ratio
  local name=$1 text=$2 file=$3
  local mbs ratio="" mib
  mbs=$(awk -v b="$frame_bytes" -v s="$best_s" 'BEGIN { printf "%.0f", b / s / 1e6 }')
  if [[ -n $file ]]; then
    ratio=$(awk -v b="$frame_bytes" -v f="$(stat -c %s "$file")" 'BEGIN { printf "%.2f", b / f }')
  fi
  mib=$(awk -v k="$best_rss" 'BEGIN { printf "%.0f", k / 1024 }')
  rows+=("| $name | \`$text\` | $best_s | $mbs | $ratio | $mib |")
}

echo "Machine: $(nproc) cores, $(uptime)" >&2
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

# Warm the page cache with the inputs.
cat "$work/movie.mov" "$work/frames.rgb" >/dev/null

measure "$work/frames.zst" zstd -1 -T1 -q -f "$work/frames.rgb" -o "$work/frames.zst"
row "zstd -1, one thread" "zstd -1 -T1 frames.rgb" "$work/frames.zst"
measure "$work/frames.zst" zstd -1 --single-thread -q -f "$work/frames.rgb" -o "$work/frames.zst"
row "zstd -1, I/O on the same thread" "zstd -1 --single-thread frames.rgb" "$work/frames.zst"

measure "$work/out1.avi" env ZODUVIV_THREADS=1 "$zoduviv" "$work/movie.mov" "$work/out1.avi"
row "zoduviv, compressed, one thread" "ZODUVIV_THREADS=1 zoduviv movie.mov out.avi" "$work/out1.avi"
one_thread_s=$best_s

measure "$work/outn.avi" env -u ZODUVIV_THREADS "$zoduviv" "$work/movie.mov" "$work/outn.avi"
row "zoduviv, compressed, all $(nproc) cores" "zoduviv movie.mov out.avi" "$work/outn.avi"
all_cores_s=$best_s
cmp -s "$work/out1.avi" "$work/outn.avi" || die "one thread and all cores wrote different files"

measure "$work/dec.avi" env ZODUVIV_THREADS=1 "$vizudec" "$work/out1.avi" "$work/dec.avi"
row "vizudec, one thread" "ZODUVIV_THREADS=1 vizudec out.avi dec.avi" ""
measure "$work/decn.avi" env -u ZODUVIV_THREADS "$vizudec" "$work/out1.avi" "$work/decn.avi"
row "vizudec, all $(nproc) cores" "vizudec out.avi dec.avi" ""

element_fps=""
if [[ -f $plugin_dir/libgstvozodiva.so ]] && command -v gst-launch-1.0 >/dev/null; then
  gst=(env GST_PLUGIN_PATH="$plugin_dir" GST_REGISTRY="$work/registry.bin" gst-launch-1.0 -q
       filesrc location="$work/out1.avi" ! avidemux ! vozodivadec ! fakesink sync=false)
  pipeline="filesrc location=out.avi ! avidemux ! vozodivadec ! fakesink sync=false"
  ZODUVIV_THREADS=1 "${gst[@]}"  # the plugin registry is written here, untimed
  measure "$work/none" env ZODUVIV_THREADS=1 "${gst[@]}"
  row "vozodivadec, one thread" "ZODUVIV_THREADS=1 gst-launch-1.0 $pipeline" ""
  element_fps="vozodivadec: $(awk -v f="$frames" -v s="$best_s" 'BEGIN { printf "%.1f", f / s }') frames per second on one thread"
  measure "$work/none" env -u ZODUVIV_THREADS "${gst[@]}"
  row "vozodivadec, all $(nproc) cores" "gst-launch-1.0 $pipeline" ""
  element_fps+=", $(awk -v f="$frames" -v s="$best_s" 'BEGIN { printf "%.1f", f / s }') on all $(nproc) cores (real time: 30)."
fi

measure "$work/raw.avi" "$zoduviv" -u "$work/movie.mov" "$work/raw.avi"
row "zoduviv -u (uncompressed)" "zoduviv -u movie.mov raw.avi" ""
uncompressed_s=$best_s
cmp -s "$work/raw.avi" "$work/dec.avi" || die "the decoded file differs from the uncompressed conversion"

measure "$work/copy.mov" cp "$work/movie.mov" "$work/copy.mov"
row "cp of the movie" "cp movie.mov copy.mov" ""
cp_s=$best_s

echo
echo "$frames frames of 1920x1080 ($frame_bytes frame bytes), photograph $(basename "$(dirname "$(dirname "$(dirname "$picture")")")")/$(basename "$picture"), best of $repeat"
echo "Load average before: $load_before, after: $(cut -d' ' -f1-3 /proc/loadavg) ($(nproc) cores)"
echo
echo "| what | command | seconds | MB/s | ratio | peak RSS MiB |"
echo "|---|---|---:|---:|---:|---:|"
printf '%s\n' "${rows[@]}"
echo
awk -v a="$one_thread_s" -v b="$all_cores_s" -v u="$uncompressed_s" -v c="$cp_s" 'BEGIN {
  printf "All cores / one thread: %.2fx. Uncompressed conversion / cp: %.2fx.\n", a / b, c / u }'
echo "The decoded file equals the uncompressed conversion byte for byte."
[[ -z $element_fps ]] || echo "$element_fps"
