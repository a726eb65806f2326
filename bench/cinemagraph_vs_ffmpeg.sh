#!/usr/bin/env bash
# A cinemagraph export against the nearest ffmpeg filter chain, side by side.
#
# Makes a 1080p movie of SECONDS seconds at 30 frames per second from a real photograph (a
# Debian wallpaper, mate-backgrounds) panned slowly, with grain; its first frame as the still;
# and a mask painted in an ellipse with a soft edge. Then alternates ours (bench/tools/
# quintor_cinemagraph) and ffmpeg RUNS times per job, with the load average beside each run,
# and prints the medians of wall time, CPU time (user + sys) and peak memory, with ratios.
#
# Both sides let the movie show through the mask over the still, then warm the white balance,
# raise the exposure by 0.3 EV, add 10% contrast and 20% saturation, lift the mid-tones and
# lower blue's, and darken the corners (ffmpeg: alphamerge + overlay, colortemperature,
# exposure, eq, curves, vignette). Jobs:
#   h264   the movie's size, x264 medium, ffmpeg at the bit rate our preset wrote
#   gif    half size, ffmpeg through palettegen/paletteuse
#   plain  ours without adjustments (the blend alone) against ours with them
# Parity: frame counts, sizes, bit rates, and SSIM of the two outputs against each other; for
# the GIFs also what the GIF step loses on each side: each GIF's SSIM against an H.264 movie
# that side renders at the GIF's size (ours through its own scaler, ffmpeg's through bicubic),
# both at one bit rate. (Against the full-size movie scaled by ffmpeg, ffmpeg's GIF would be
# judged by its own scaler and ours by another.)
#
#   bench/cinemagraph_vs_ffmpeg.sh                  # 10 s, 3 runs, all cores, every job
#   RUNS=5 CORES=0,1 JOBS="h264" bench/cinemagraph_vs_ffmpeg.sh
set -euo pipefail

SECONDS_LONG=${SECONDS_LONG:-10}
RUNS=${RUNS:-3}
CORES=${CORES:-}
JOBS=${JOBS:-h264 gif plain}
ROOT=${ROOT:-$(cd "$(dirname "$0")/.." && pwd)}
. "$(dirname "$0")/lib/photos.sh"
BUILD=${BUILD:-$ROOT/build/bench-release}
WORK=${WORK:-$(mktemp -d "${TMPDIR:-/tmp}/cinemagraph-bench.XXXXXX")}
mkdir -p "$WORK"
KEEP=${KEEP:-0}
WALLPAPER=${WALLPAPER:-/usr/share/backgrounds/mate/abstract/Elephants_5640x3172.jpg}

for tool in ffmpeg ffprobe /usr/bin/time cmake ninja taskset; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool" >&2; exit 1; }
done
[ -f "$WALLPAPER" ] || { echo "missing $WALLPAPER: apt-get install mate-backgrounds" >&2; exit 1; }
[ "$KEEP" = 1 ] || trap 'rm -rf "$WORK"' EXIT

echo "== building quintor_cinemagraph (Release) in $BUILD"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUINTOR_TESTS=OFF -DQUINTOR_BENCH=ON >/dev/null
ninja -C "$BUILD" quintor_cinemagraph >/dev/null
OURS="$BUILD/bench/quintor_cinemagraph"

MOVIE=$WORK/source.mp4 STILL=$WORK/still.png MASK=$WORK/mask.png
if [ ! -f "$MOVIE" ]; then
    echo "== making a ${SECONDS_LONG} s 1080p movie, its still and a mask"
    ffmpeg -v error -nostdin -y -loop 1 -framerate 30 -i "$WALLPAPER" -t "$SECONDS_LONG" \
        -vf "scale=2400:1350:flags=lanczos,crop=1920:1080:x='t*40':y='t*20',setsar=1,noise=alls=8:allf=t+u,format=yuv420p" \
        -c:v libx264 -preset fast -crf 16 -g 30 "$MOVIE"
    ffmpeg -v error -nostdin -y -i "$MOVIE" -frames:v 1 "$STILL"
    ffmpeg -v error -nostdin -y -f lavfi -i "color=white:s=1920x1080:d=1,format=rgba" -frames:v 1 \
        -vf "geq=r=255:g=255:b=255:a='255*clip((1.15-hypot((X-W*0.45)/(W*0.3),(Y-H/2)/(H*0.35)))*6,0,1)'" "$MASK"
fi
cat "$MOVIE" "$STILL" "$MASK" >/dev/null
pin_to_cores

if [ "${FFMPEG_THP:-0}" = 1 ]; then FFMPEG=ffmpeg; else FFMPEG="$ROOT/bench/lib/without-huge-pages ffmpeg"; fi

# The adjustments, as near as ffmpeg's filters come to ours.
ADJUST="colortemperature=temperature=5800,exposure=exposure=0.3,eq=contrast=1.1:saturation=1.2,\
curves=master='0/0 0.25/0.25 0.5/0.55 0.75/0.75 1/1':blue='0/0 0.25/0.25 0.5/0.47 0.75/0.75 1/1',vignette"
BLEND="[2:v]format=rgba,alphaextract[m];[0:v]format=rgba[v];[v][m]alphamerge[vm];[1:v]format=rgba[s];[s][vm]overlay=shortest=1"

ours_h264()   { $PIN "$OURS" h264 "$MOVIE" "$STILL" "$MASK" "$WORK/ours.mp4"; }
ours_plain()  { $PIN "$OURS" --plain h264 "$MOVIE" "$STILL" "$MASK" "$WORK/plain.mp4"; }
ours_gif()    { $PIN "$OURS" --scale 0.5 gif "$MOVIE" "$STILL" "$MASK" "$WORK/ours.gif"; }
ours_gif_reference() { $PIN "$OURS" --scale 0.5 h264 "$MOVIE" "$STILL" "$MASK" "$WORK/ours_half.mp4"; }
# The looped still and mask last as long as the movie, so every stream of the graph ends.
theirs_h264() {
    $PIN $FFMPEG -v error -nostdin -y -i "$MOVIE" $LOOPED \
        -filter_complex "$BLEND,$ADJUST,format=yuv420p" -c:v libx264 -preset medium -b:v "$BITRATE" -g "$GOP" \
        -color_primaries bt709 -color_trc bt709 -colorspace bt709 "$WORK/theirs.mp4"
}
theirs_gif_reference() {
    $PIN $FFMPEG -v error -nostdin -y -i "$MOVIE" $LOOPED \
        -filter_complex "$BLEND,$ADJUST,scale=960:540:flags=bicubic,format=yuv420p" -c:v libx264 -preset medium \
        -b:v "$(bitrate "$WORK/ours_half.mp4")" -color_primaries bt709 -color_trc bt709 -colorspace bt709 "$WORK/theirs_half.mp4"
}
theirs_gif() {
    $PIN $FFMPEG -v error -nostdin -y -i "$MOVIE" $LOOPED \
        -filter_complex "$BLEND,$ADJUST,scale=960:540:flags=bicubic,split[a][b];[a]palettegen[p];[b][p]paletteuse" \
        "$WORK/theirs.gif"
}
export OURS MOVIE STILL MASK WORK PIN FFMPEG ADJUST BLEND
export -f ours_h264 ours_plain ours_gif theirs_h264 theirs_gif

frames() { ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$1"; }
size() { ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=s=x:p=0 "$1"; }
bitrate() { ffprobe -v error -select_streams v:0 -show_entries stream=bit_rate -of csv=p=0 "$1"; }
# Mean SSIM (all planes) of movie $1 against movie $2, the second scaled to the first's size.
ssim() {
    local w h
    IFS=x read -r w h < <(size "$1")
    ffmpeg -v info -nostdin -i "$1" -i "$2" -lavfi "[1:v]scale=$w:$h:flags=bicubic,format=yuv420p[b];[0:v]format=yuv420p[a];[a][b]ssim" \
        -f null - 2>&1 | awk '/SSIM .*All:/ { sub(/.*All:/, ""); print $1 }'
}

# Our preset's bit rate and key-frame interval, from a first export, for ffmpeg's settings.
ours_h264 >/dev/null
BITRATE=$(bitrate "$WORK/ours.mp4")
KEYS=$(ffprobe -v error -select_streams v:0 -skip_frame nokey -count_frames -show_entries stream=nb_read_frames -of csv=p=0 "$WORK/ours.mp4")
GOP=$(( ($(frames "$WORK/ours.mp4") + KEYS - 1) / KEYS ))
DURATION=$(ffprobe -v error -select_streams v:0 -show_entries stream=duration -of csv=p=0 "$MOVIE")
RATE=$(ffprobe -v error -select_streams v:0 -show_entries stream=r_frame_rate -of csv=p=0 "$MOVIE")
LOOPED="-loop 1 -framerate $RATE -t $DURATION -i $STILL -loop 1 -framerate $RATE -t $DURATION -i $MASK"
export BITRATE GOP LOOPED

echo "== ${SECONDS_LONG} s of 1080p at 30 fps, $RUNS alternating runs per job, $NCORES cores"
for job in $JOBS; do
    case $job in
    h264)
        echo "-- H.264 at the movie's size, ${BITRATE} bit/s"
        alternate ours_h264 theirs_h264
        echo "   frames ours $(frames "$WORK/ours.mp4") ffmpeg $(frames "$WORK/theirs.mp4"); size $(size "$WORK/ours.mp4") / $(size "$WORK/theirs.mp4"); bit rate ours $(bitrate "$WORK/ours.mp4") ffmpeg $(bitrate "$WORK/theirs.mp4")"
        echo "   SSIM ours against ffmpeg: $(ssim "$WORK/ours.mp4" "$WORK/theirs.mp4")"
        row ours "$WORK/ours_h264.txt" "$WORK/theirs_h264.txt"
        row ffmpeg "$WORK/theirs_h264.txt"
        ;;
    gif)
        echo "-- GIF at half size"
        [ -f "$WORK/theirs.mp4" ] || theirs_h264
        alternate ours_gif theirs_gif
        echo "   frames ours $(frames "$WORK/ours.gif") ffmpeg $(frames "$WORK/theirs.gif"); size $(size "$WORK/ours.gif") / $(size "$WORK/theirs.gif"); bytes ours $(stat -c %s "$WORK/ours.gif") ffmpeg $(stat -c %s "$WORK/theirs.gif")"
        ours_gif_reference
        theirs_gif_reference
        echo "   SSIM against its own side's H.264 at the GIF's size: ours $(ssim "$WORK/ours.gif" "$WORK/ours_half.mp4")  ffmpeg $(ssim "$WORK/theirs.gif" "$WORK/theirs_half.mp4")"
        echo "   SSIM ours against ffmpeg: $(ssim "$WORK/ours.gif" "$WORK/theirs.gif")"
        row ours "$WORK/ours_gif.txt" "$WORK/theirs_gif.txt"
        row ffmpeg "$WORK/theirs_gif.txt"
        ;;
    plain)
        echo "-- ours: adjustments on against the blend alone"
        alternate ours_h264 ours_plain
        REFERENCE="the blend alone" row adjusted "$WORK/ours_h264.txt" "$WORK/ours_plain.txt"
        row plain "$WORK/ours_plain.txt"
        ;;
    esac
done
