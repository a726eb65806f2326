#!/usr/bin/env bash
# The command line's export, end to end, against ffmpeg with the same settings, side by side.
#
# Makes COUNT photos of 6000 x 4000 from a real photograph (a Debian wallpaper, mate-backgrounds),
# panned a little from photo to photo, with sensor-like noise, saved as JPEG of about quality 90
# with capture dates one second apart; warms the page cache; alternates ours and ffmpeg RUNS
# times per job and prints the medians of wall time, CPU time (user + sys) and peak memory, with
# ratios and the load average beside each run; then checks that the last runs made the same
# movie (codec, size, pixel format, colour matrix, frame count, bit rate within 10%, and SSIM
# against a Lanczos-scaled reference of the photos no more than 0.005 below ffmpeg's).
#
# Jobs (all at 30 photos per second, `--speed 30`):
#   h264     quintor --export x.mp4 --format h264           ffmpeg: the same size (the sheet's
#            4096 x 2160 limit: 3240 x 2160), x264 medium, our preset's target bit rate, key
#            frame every 30, BT.709 4:2:0 limited range
#   prores   quintor --export x.mov --format prores422      ffmpeg: prores (standard) 4:2:2 10-bit
#            at the photos' size
#   twopass  quintor --export x.mp4 --format h264 --fps 25  (against our one-pass h264)
#   preview  quintor DIR (builds the preview and prints a summary)
#
#   bench/export_vs_ffmpeg.sh                          # 100 photos, 3 runs, all cores, every job
#   COUNT=100 RUNS=3 CORES=0,1 JOBS="h264" PARITY=0 bench/export_vs_ffmpeg.sh
#   COUNT=300 RUNS=1 PARITY=0 JOBS="h264 prores" bench/export_vs_ffmpeg.sh   # memory, more photos
set -euo pipefail

COUNT=${COUNT:-100}
RUNS=${RUNS:-3}
CORES=${CORES:-}          # e.g. "0,1" to pin both sides to two cores
JOBS=${JOBS:-h264 prores twopass preview}
ROOT=${ROOT:-$(cd "$(dirname "$0")/.." && pwd)}
. "$(dirname "$0")/lib/photos.sh"
BUILD=${BUILD:-$ROOT/build/bench-release}
WORK=${WORK:-$(mktemp -d "${TMPDIR:-/tmp}/export-bench.XXXXXX")}
mkdir -p "$WORK"   # a WORK given by the caller may not exist yet
PHOTOS=${PHOTOS:-$WORK/photos}   # reuse a set made before with PHOTOS=... KEEP=1
KEEP=${KEEP:-0}
PARITY=${PARITY:-1}       # 0 skips the parity checks (memory runs of many photos)
WALLPAPER=${WALLPAPER:-/usr/share/backgrounds/mate/abstract/Elephants_5640x3172.jpg}

for tool in ffmpeg ffprobe exiftool /usr/bin/time cmake ninja taskset; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool" >&2; exit 1; }
done
[ -f "$WALLPAPER" ] || { echo "missing $WALLPAPER: apt-get install mate-backgrounds" >&2; exit 1; }
[ "$KEEP" = 1 ] || trap 'rm -rf "$WORK"' EXIT

echo "== building quintor (Release) in $BUILD"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUINTOR_TESTS=OFF -DQUINTOR_BENCH=ON >/dev/null
ninja -C "$BUILD" quintor >/dev/null
QUINTOR="$BUILD/quintor"

if [ ! -f "$PHOTOS/photo_$(printf %04d "$COUNT").jpg" ]; then
    echo "== making $COUNT photos of 6000x4000 from $(basename "$WALLPAPER") in $PHOTOS"
    make_wallpaper_photos "$PHOTOS" "$COUNT" "$WALLPAPER" "$WORK"
fi
warm_photos "$PHOTOS"
echo "   $COUNT photos, $(du -sh "$PHOTOS" | cut -f1) in total"

pin_to_cores

H264_W=3240; H264_H=2160   # what the settings sheet gives 6000 x 4000 photos for H.264
# Our H.264 preset's target: 5 bits per pixel per second at 30 frames per second. Both sides
# overshoot it alike on a short, noisy movie; the parity check compares what they wrote.
BITRATE=$((H264_W * H264_H * 5))
COLOUR="-color_primaries bt709 -color_trc bt709 -colorspace bt709 -color_range tv"
TOTV="in_range=pc:out_range=tv:out_color_matrix=bt709"
# ffmpeg's encoders take the frames' own colour tags over the options above, and the JPEGs'
# frames carry none the ProRes encoder writes (it would store "gbr"): tag the frames too.
TAGS="setparams=range=tv:color_primaries=bt709:color_trc=bt709:colorspace=bt709"

# Our export switches transparent huge pages off for its process (x264's frames otherwise cost
# more kernel time faulting in than encoding). ffmpeg runs the same way unless FFMPEG_THP=1, so
# both sides pay the same for memory; FFMPEG_THP=1 times ffmpeg as a user would type it.
if [ "${FFMPEG_THP:-0}" = 1 ]; then
    FFMPEG=ffmpeg
else
    FFMPEG="$ROOT/bench/lib/without-huge-pages ffmpeg"
fi

ours_h264()    { $PIN "$QUINTOR" --export "$WORK/ours.mp4" --format h264 --speed 30 "$PHOTOS" >/dev/null 2>&1; }
ours_twopass() { $PIN "$QUINTOR" --export "$WORK/ours25.mp4" --format h264 --fps 25 --speed 30 "$PHOTOS" >/dev/null 2>&1; }
ours_prores()  { $PIN "$QUINTOR" --export "$WORK/ours.mov" --format prores422 --speed 30 "$PHOTOS" >/dev/null 2>&1; }
ours_preview() { $PIN "$QUINTOR" "$PHOTOS" >/dev/null 2>&1; }
theirs_h264() {
    $PIN $FFMPEG -v error -y -framerate 30 -pattern_type glob -i "$PHOTOS/*.jpg" \
        -vf "scale=$H264_W:$H264_H:flags=bicubic:$TOTV,format=yuv420p,$TAGS" \
        -c:v libx264 -preset medium -profile:v high -b:v "$BITRATE" -g 30 $COLOUR \
        "$WORK/theirs.mp4"
}
theirs_prores() {
    $PIN $FFMPEG -v error -y -framerate 30 -pattern_type glob -i "$PHOTOS/*.jpg" \
        -vf "scale=$TOTV,format=yuv422p10le,$TAGS" -c:v prores -profile:v 2 $COLOUR "$WORK/theirs.mov"
}
export QUINTOR WORK PHOTOS PIN FFMPEG H264_W H264_H COLOUR TOTV TAGS BITRATE
export -f ours_h264 ours_twopass ours_prores ours_preview theirs_h264 theirs_prores

bitrate() { ffprobe -v error -select_streams v:0 -show_entries stream=bit_rate -of csv=p=0 "$1"; }
# Mean SSIM (all planes) of two movies of one size against the photos scaled with Lanczos to
# that size, all in the movies' pixel format; the photos are decoded once for both. Prints
# "ours theirs".
ssim_pair() {
    local w h fmt
    IFS=, read -r w h fmt < <(ffprobe -v error -select_streams v:0 -show_entries stream=width,height,pix_fmt -of csv=p=0 "$1")
    ffmpeg -v info -nostdin -i "$1" -i "$2" -framerate 30 -pattern_type glob -i "$PHOTOS/*.jpg" \
        -lavfi "[2]scale=$w:$h:flags=lanczos:$TOTV,format=$fmt,split[r1][r2];[0]format=$fmt[a];[1]format=$fmt[b];[a][r1]ssim@ours;[b][r2]ssim@theirs" \
        -f null - 2>&1 | awk '/ssim@ours .*All:/ { sub(/.*All:/, ""); o = $1 } /ssim@theirs .*All:/ { sub(/.*All:/, ""); t = $1 }
                              END { print o, t }'
}

# Parity of the movies the last timed runs left: same stream parameters and frame count, bit
# rates within 10%, and picture quality against the photos.
parity() {
    local ours=$1 theirs=$2
    [ "$PARITY" = 1 ] || return 0
    local so st
    read -r so st < <(ssim_pair "$ours" "$theirs")
    echo "   ours:   $(probe "$ours")   $(bitrate "$ours") bit/s   SSIM $so"
    echo "   ffmpeg: $(probe "$theirs")   $(bitrate "$theirs") bit/s   SSIM $st"
    [ "$(probe "$ours")" = "$(probe "$theirs")" ] || echo "   WARNING: the streams differ"
    awk -v a="$so" -v b="$st" 'BEGIN { d = b - a; printf "   SSIM ffmpeg - ours %.4f%s\n", d, (d > 0.005) ? "  WARNING: more than 0.005" : "" }'
    awk -v a="$(bitrate "$ours")" -v b="$(bitrate "$theirs")" \
        'BEGIN { r = a / b; printf "   bit rate ours/ffmpeg %.3f%s\n", r, (r < 0.9 || r > 1.1) ? "  WARNING: outside 10%" : "" }'
}

echo "== $COUNT photos, $RUNS alternating runs per job, $NCORES cores"
for job in $JOBS; do
    case $job in
    h264)
        echo "-- H.264 MP4 at the photos' rate"
        alternate ours_h264 theirs_h264
        parity "$WORK/ours.mp4" "$WORK/theirs.mp4"
        row ours "$WORK/ours_h264.txt" "$WORK/theirs_h264.txt"
        row ffmpeg "$WORK/theirs_h264.txt"
        H264_DONE=1
        ;;
    prores)
        echo "-- ProRes 422 at the photos' size"
        alternate ours_prores theirs_prores
        parity "$WORK/ours.mov" "$WORK/theirs.mov"
        row ours "$WORK/ours_prores.txt" "$WORK/theirs_prores.txt"
        row ffmpeg "$WORK/theirs_prores.txt"
        ;;
    twopass)
        echo "-- two passes (25 fps) against one pass"
        # The one-pass times of the h264 job, when it ran in this invocation; else measured here.
        if [ -n "${H264_DONE:-}" ]; then alternate ours_twopass; else alternate ours_twopass ours_h264; fi
        echo "   two-pass movie: $(probe "$WORK/ours25.mp4")"
        row twopass "$WORK/ours_twopass.txt"
        row onepass "$WORK/ours_h264.txt"
        awk -v a="$(col "$WORK/ours_twopass.txt" 1)" -v b="$(col "$WORK/ours_h264.txt" 1)" \
            -v ca="$(col "$WORK/ours_twopass.txt" 2)" -v cb="$(col "$WORK/ours_h264.txt" 2)" \
            'BEGIN { printf "   two-pass / one-pass time: %.2f  (cpu %.2f)\n", a / b, ca / cb }'
        ;;
    preview)
        echo "-- the preview (quintor DIR)"
        alternate ours_preview
        row preview "$WORK/ours_preview.txt"
        ;;
    esac
done
