#!/bin/bash
# bench/run.sh: whole-program speed of zoduviv and vizudec on three kinds of 1080p movie,
# side by side with zstd -1 -T1 and cp on the same bytes, and the GStreamer element
# vozodivadec on the compressed file, in one run:
#   camera  a pan across a real photograph with seeded sensor-like noise
#   clean   the same pan without noise (residuals mostly zero: the zero-run coder's case)
#   flat    a pan across a drawn desktop: one-colour areas, sharp edges, windows, text
#
#   bash bench/run.sh [frames] [build-dir]
#
# frames     frames per movie (default 60; 1920x1080, 6,220,800 bytes each)
# build-dir  a Release build of this tree; default: build-bench next to bench/, made
#            (cmake + make) when it has no zoduviv yet
#
# Environment: ZODUVIV_BENCH_PICTURE picks the photograph (any JPEG or PNG that
# ImageMagick reads; default a wallpaper under /usr/share/wallpapers), TMPDIR the place
# for the scratch files (about 4 x frames x 6.2 MB, one kind at a time), REPEAT the runs
# per command (default 3; the best is kept), KINDS the kinds to run (default "camera
# clean flat"), MAKE_MOVIE another make_movie (to time an older build on the same movies).
#
# The element runs as `filesrc ! avidemux ! vozodivadec max-threads=N ! fakesink sync=false`
# (gst-launch-1.0, start-up included) with N = 1 and 0 (one per core), and its rows also
# give frames per second; they are left out, with a note, where the build has no plugin or
# gst-launch-1.0 or avidemux is missing.
#
# Sound: where gst-launch-1.0 has qtmux, rawvideoparse and audiotestsrc, each kind's
# frames also go through qtmux twice, once alone and once with a 48 kHz stereo 16-bit
# sound track ("twos", as long as the frames), and zoduviv on all cores converts both
# (SOUND=no leaves these rows out); the line under the table gives the speed with sound
# against the speed without.
#
# Figures are MB/s (10^6 bytes) of uncompressed frame bytes through the whole program,
# wall time, best of REPEAT, with every input already in the page cache. Shared machines
# drift, so compare figures of one run with each other rather than across runs; the load
# average is printed before and after each kind. zoduviv and vizudec on one thread take
# turns, run for run, so that a drift weighs on both alike.
set -euo pipefail

frames=${1:-60}
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${2:-$root/build-bench}
repeat=${REPEAT:-3}
kinds=${KINDS:-camera clean flat}

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

if [[ ! -x $build/driver/zoduviv || ! -x $build/vizudec/vizudec || ! -x $build/bench/make_movie ]]; then
  echo "Building Release in $build ..." >&2
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DZODUVIV_BENCH=ON >/dev/null
  cmake --build "$build" -j"$(nproc)" --target zoduviv vizudec make_movie >/dev/null
fi
zoduviv=$build/driver/zoduviv
vizudec=$build/vizudec/vizudec
make_movie=${MAKE_MOVIE:-$build/bench/make_movie}

work=$(mktemp -d "${TMPDIR:-/tmp}/zoduviv-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The element from this build only, through a registry file of the run's own.
[[ -f $build/gst/libgstvozodiva.so ]] || cmake --build "$build" --target gstvozodiva >/dev/null 2>&1 || true
element=""
if command -v gst-launch-1.0 >/dev/null && [[ -f $build/gst/libgstvozodiva.so ]]; then
  export GST_PLUGIN_PATH=$build/gst GST_REGISTRY=$work/registry.bin
  gst-inspect-1.0 vozodivadec >/dev/null 2>&1 && gst-inspect-1.0 avidemux >/dev/null 2>&1 && element=yes
fi
sound=""
if [[ ${SOUND:-yes} != no ]] && command -v gst-launch-1.0 >/dev/null; then
  gst-inspect-1.0 qtmux >/dev/null 2>&1 && gst-inspect-1.0 rawvideoparse >/dev/null 2>&1 &&
    gst-inspect-1.0 audiotestsrc >/dev/null 2>&1 && sound=yes
fi
[[ -n $sound ]] || echo "bench/run.sh: no sound rows (SOUND=no, or no gst-launch-1.0 with qtmux, rawvideoparse and audiotestsrc)" >&2
[[ -n $element ]] || echo "bench/run.sh: no vozodivadec rows (no plugin in $build, or no gst-launch-1.0 or avidemux)" >&2

# The window is 1920x1080 inside a 96-pixel margin that the pan moves through.
"$magick" "$picture" -resize 2112x1272^ -gravity center -extent 2112x1272 ppm:"$work/picture.ppm"
frame_bytes=$((frames * 1920 * 1080 * 3))

# run_once OUTPUT command...: runs the command once (OUTPUT removed before, outside the
# timing) and folds its wall time and peak resident memory (KiB) into best_s (the
# shortest) and best_rss (the largest).
best_s=""
best_rss=0
run_once() {
  local out=$1
  shift
  rm -f "$out"
  sync
  local t0 t1 rss s
  t0=$(date +%s%N)
  /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null
  t1=$(date +%s%N)
  rss=$(tail -n 1 "$work/rss")
  s=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')
  if [[ -z $best_s ]] || awk -v x="$s" -v y="$best_s" 'BEGIN { exit !(x < y) }'; then best_s=$s; fi
  if ((rss > best_rss)); then best_rss=$rss; fi
}

# measure OUTPUT command...: runs the command REPEAT times; the best in best_s, best_rss.
measure() {
  best_s=""
  best_rss=0
  for ((k = 0; k < repeat; k++)); do run_once "$@"; done
}

# row NAME OUTPUT-FILE-FOR-RATIO BASE-SECONDS...: one line of the table; the speed ratios
# are against zstd -1 -T1, cp and the one-thread run of the same program (empty where
# not measured yet).
rows=()
zstd_s="" cp_s="" base_s=""
ratio_of() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "" || b == "") print ""; else printf "%.2fx", a / b }'; }
row() {
  local name=$1 file=$2
  local mbs ratio="" mib
  mbs=$(awk -v b="$frame_bytes" -v s="$best_s" 'BEGIN { printf "%.0f", b / s / 1e6 }')
  if [[ -n $file ]]; then
    ratio=$(awk -v b="$frame_bytes" -v f="$(stat -c %s "$file")" 'BEGIN { printf "%.2f", b / f }')
  fi
  mib=$(awk -v k="$best_rss" 'BEGIN { printf "%.0f", k / 1024 }')
  rows+=("| $name | $best_s | $mbs | $ratio | $(ratio_of "$zstd_s" "$best_s") | $(ratio_of "$cp_s" "$best_s") | $(ratio_of "$base_s" "$best_s") | $mib |")
}

echo "Machine: $(nproc) cores, $(uptime)" >&2
cores=$(nproc)
for kind in $kinds; do
  case $kind in
    camera) "$make_movie" "$work/picture.ppm" "$frames" "$work/movie.mov" "$work/frames.rgb" ;;
    clean) "$make_movie" --clean "$work/picture.ppm" "$frames" "$work/movie.mov" "$work/frames.rgb" ;;
    flat) "$make_movie" --flat "$frames" "$work/movie.mov" "$work/frames.rgb" ;;
    *) die "unknown kind $kind" ;;
  esac
  load_before=$(cut -d' ' -f1-3 /proc/loadavg)
  rows=()
  zstd_s="" cp_s="" base_s=""
  cat "$work/movie.mov" "$work/frames.rgb" >/dev/null  # into the page cache

  # cp first, so every later row can be set against it.
  measure "$work/copy.mov" cp "$work/movie.mov" "$work/copy.mov"
  cp_s=$best_s
  cp_rss=$best_rss
  measure "$work/frames.zst" zstd -1 -T1 -q -f "$work/frames.rgb" -o "$work/frames.zst"
  zstd_s=$best_s
  row "zstd -1 -T1 frames.rgb" "$work/frames.zst"

  # zoduviv and vizudec on one thread take turns, run for run, so that the machine's
  # drift weighs on both alike: their ratio is this table's headline.
  z_s="" z_rss=0 v_s="" v_rss=0
  for ((j = 0; j < repeat; j++)); do
    best_s=$z_s best_rss=$z_rss
    run_once "$work/out1.avi" env ZODUVIV_THREADS=1 "$zoduviv" "$work/movie.mov" "$work/out1.avi"
    z_s=$best_s z_rss=$best_rss
    best_s=$v_s best_rss=$v_rss
    run_once "$work/dec.avi" env ZODUVIV_THREADS=1 "$vizudec" "$work/out1.avi" "$work/dec.avi"
    v_s=$best_s v_rss=$best_rss
  done

  best_s=$z_s best_rss=$z_rss
  base_s=$best_s
  row "zoduviv, one thread" "$work/out1.avi"
  measure "$work/outn.avi" env -u ZODUVIV_THREADS "$zoduviv" "$work/movie.mov" "$work/outn.avi"
  row "zoduviv, $cores cores" "$work/outn.avi"
  cmp -s "$work/out1.avi" "$work/outn.avi" || die "$kind: one thread and all cores wrote different files"
  zoduviv_1=$base_s

  best_s=$v_s best_rss=$v_rss
  base_s=$best_s
  row "vizudec, one thread" ""
  vizudec_1=$best_s
  measure "$work/decn.avi" env -u ZODUVIV_THREADS "$vizudec" "$work/out1.avi" "$work/decn.avi"
  row "vizudec, $cores cores" ""
  cmp -s "$work/dec.avi" "$work/decn.avi" || die "$kind: vizudec wrote different files on one thread and all cores"

  if [[ -n $element ]]; then
    for n in 1 0; do
      [[ $n == 1 ]] && what="one thread" || what="$cores cores"
      measure "$work/none" gst-launch-1.0 -q filesrc location="$work/out1.avi" ! avidemux \
        ! vozodivadec max-threads=$n ! fakesink sync=false
      fps=$(awk -v f="$frames" -v s="$best_s" 'BEGIN { printf "%.1f", f / s }')
      [[ $n == 1 ]] && base_s=$best_s
      row "vozodivadec max-threads=$n, $what: $fps frames/s" ""
    done
  fi

  base_s=""
  measure "$work/raw.avi" "$zoduviv" -u "$work/movie.mov" "$work/raw.avi"
  row "zoduviv -u" ""
  cmp -s "$work/raw.avi" "$work/dec.avi" || die "$kind: the decoded file differs from the uncompressed conversion"
  best_s=$cp_s best_rss=$cp_rss
  row "cp movie.mov" ""

  # The same frames through qtmux, without and with 48 kHz stereo sound of the same length.
  sound_line=""
  if [[ -n $sound ]]; then
    for with in no yes; do
      pipeline=(filesrc location="$work/frames.rgb" ! rawvideoparse width=1920 height=1080
        format=rgb framerate=30000/1001 ! q.video_0)
      [[ $with == yes ]] && pipeline+=(audiotestsrc wave=pink-noise samplesperbuffer=1602
        num-buffers="$frames" ! audio/x-raw,format=S16BE,rate=48000,channels=2 ! q.audio_0)
      gst-launch-1.0 -q "${pipeline[@]}" qtmux name=q ! filesink location="$work/qt_$with.mov"
      cat "$work/qt_$with.mov" >/dev/null
      measure "$work/qt_$with.avi" env -u ZODUVIV_THREADS "$zoduviv" "$work/qt_$with.mov" "$work/qt_$with.avi"
      [[ $with == yes ]] && sound_s=$best_s || silent_s=$best_s
    done
    best_s=$silent_s
    row "zoduviv, $cores cores, qtmux movie without sound" ""
    best_s=$sound_s
    row "zoduviv, $cores cores, qtmux movie with 48 kHz stereo sound" ""
    sound_line=$(awk -v a="$silent_s" -v b="$sound_s" 'BEGIN {
      printf "With 48 kHz stereo sound: %.1f%% of the speed without (%s s against %s s).", 100 * a / b, b, a }')
  fi

  echo
  echo "### $kind: $frames frames of 1920x1080 ($frame_bytes frame bytes), best of $repeat"
  echo "Load average before: $load_before, after: $(cut -d' ' -f1-3 /proc/loadavg) ($cores cores)"
  echo
  echo "| what | seconds | MB/s | ratio | vs zstd | vs cp | vs one thread | peak RSS MiB |"
  echo "|---|---:|---:|---:|---:|---:|---:|---:|"
  printf '%s\n' "${rows[@]}"
  echo
  awk -v z="$zstd_s" -v a="$zoduviv_1" -v d="$vizudec_1" 'BEGIN {
    printf "One thread against zstd -1 -T1: %.2fx. vizudec against zoduviv, one thread: %.2fx.\n", z / a, a / d }'
  echo "Both programs write the same file on one thread and on all cores; the decoded file equals the uncompressed conversion."
  [[ -z $sound_line ]] || echo "$sound_line"
  rm -f "$work"/*.avi "$work"/*.mov "$work"/*.rgb "$work"/*.zst
done
echo
echo "Photograph: $(basename "$(dirname "$(dirname "$(dirname "$picture")")")")/$(basename "$picture")"
