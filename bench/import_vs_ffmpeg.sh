#!/usr/bin/env bash
# Our image-sequence importer against ffmpeg on the same 24 MP photos, side by side.
#
# Makes COUNT photos of 6000 x 4000 (soft gradients with grain, JPEG 4:2:0 at about quality 90,
# EXIF capture dates one second apart), warms the page cache, checks that both sides produce
# the same movie (codec, size, frame count, file size within 10%), then alternates ours and
# ffmpeg RUNS times and prints the medians of frames/s, CPU seconds and peak memory, with the
# ratios against ffmpeg and against the CPU-bound limit (decode + encode CPU over the cores).
#
# Ours: quintor_import (MVRImageSequenceImporter with its defaults, as the preview runs it:
# the high-efficiency preset, i.e. H.264 x264 "veryfast" here, no B-frames, key frame every
# 4 frames, the preset's bit rate, the photos' own size). ffmpeg: the image2 demuxer with the
# same encoder settings.
#
#   bench/import_vs_ffmpeg.sh                  # 60 photos, 3 runs, all cores
#   COUNT=100 RUNS=5 CORES=0,1 bench/import_vs_ffmpeg.sh
set -euo pipefail

COUNT=${COUNT:-60}
RUNS=${RUNS:-3}
CORES=${CORES:-}          # e.g. "0,1" to pin both sides to two cores
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$(dirname "$0")/lib/photos.sh"
BUILD=${BUILD:-$ROOT/build/bench-release}
WORK=${WORK:-$(mktemp -d "${TMPDIR:-/tmp}/import-bench.XXXXXX")}
KEEP=${KEEP:-0}

for tool in ffmpeg ffprobe exiftool /usr/bin/time cmake ninja; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool" >&2; exit 1; }
done
[ "$KEEP" = 1 ] || trap 'rm -rf "$WORK"' EXIT

echo "== building quintor_import (Release) in $BUILD"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUINTOR_TESTS=OFF -DQUINTOR_BENCH=ON >/dev/null
ninja -C "$BUILD" quintor_import >/dev/null
IMPORT="$BUILD/bench/quintor_import"

PHOTOS="$WORK/photos"
echo "== making $COUNT photos of 6000x4000 in $PHOTOS"
make_gradient_photos "$PHOTOS" "$COUNT" "$WORK"
warm_photos "$PHOTOS"
echo "   $(du -sh "$PHOTOS" | cut -f1) in total"

pin_to_cores

# Same settings as the importer's high-efficiency preset for these photos (H.264 when no
# hardware HEVC encoder is present): bit rate min(750 Mbit/s, w x h x 48.2), no B-frames,
# key frame every 4, x264 veryfast, BT.709 4:2:0 limited range, and the frame duration the
# importer estimates from the capture dates (one second), which x264's rate control follows.
BITRATE=750000000
ours()   { $PIN "$IMPORT" "$WORK/ours.mov" "$PHOTOS"/*.jpg >/dev/null; }
theirs() {
    $PIN ffmpeg -v error -y -framerate 1 -pattern_type glob -i "$PHOTOS/*.jpg" \
        -vf "scale=in_range=pc:out_range=tv:out_color_matrix=bt709,format=yuv420p" \
        -c:v libx264 -preset veryfast -profile:v high -b:v "$BITRATE" -g 4 -bf 0 \
        -color_primaries bt709 -color_trc bt709 -colorspace bt709 -color_range tv \
        "$WORK/theirs.mov"
}
decode() { $PIN "$IMPORT" --decode-only "$PHOTOS"/*.jpg >/dev/null; }
ffdecode() { $PIN ffmpeg -v error -pattern_type glob -i "$PHOTOS/*.jpg" -f null -; }

export IMPORT WORK PHOTOS PIN BITRATE
export -f ours theirs decode ffdecode

echo "== parity"
ours; theirs
echo "   ours:   $(probe "$WORK/ours.mov")   $(stat -c %s "$WORK/ours.mov") bytes"
echo "   ffmpeg: $(probe "$WORK/theirs.mov")   $(stat -c %s "$WORK/theirs.mov") bytes"
[ "$(probe "$WORK/ours.mov")" = "$(probe "$WORK/theirs.mov")" ] || echo "   WARNING: the streams differ"
awk -v a="$(stat -c %s "$WORK/ours.mov")" -v b="$(stat -c %s "$WORK/theirs.mov")" \
    'BEGIN { r = a / b; printf "   size ratio ours/ffmpeg %.3f%s\n", r, (r < 0.9 || r > 1.1) ? "  WARNING: outside 10%" : "" }'

echo "== $RUNS alternating runs on $NCORES cores"
: >"$WORK/ours.txt"; : >"$WORK/theirs.txt"
for r in $(seq 1 "$RUNS"); do
    measure ours >>"$WORK/ours.txt"
    measure theirs >>"$WORK/theirs.txt"
    echo "   run $r: ours $(tail -1 "$WORK/ours.txt")   ffmpeg $(tail -1 "$WORK/theirs.txt")   (wall s, cpu s, peak MB; load $(load_average))"
done
measure decode >"$WORK/decode.txt"
measure ffdecode >"$WORK/ffdecode.txt"

OW=$(col "$WORK/ours.txt" 1); OC=$(col "$WORK/ours.txt" 2); OM=$(col "$WORK/ours.txt" 3)
TW=$(col "$WORK/theirs.txt" 1); TC=$(col "$WORK/theirs.txt" 2); TM=$(col "$WORK/theirs.txt" 3)
DC=$(awk '{ print $2 }' "$WORK/decode.txt"); FDC=$(awk '{ print $2 }' "$WORK/ffdecode.txt")

awk -v n="$COUNT" -v cores="$NCORES" -v ow="$OW" -v oc="$OC" -v om="$OM" -v tw="$TW" -v tc="$TC" -v tm="$TM" \
    -v dc="$DC" -v fdc="$FDC" 'BEGIN {
    enc = tc - fdc; if (enc < 0) enc = 0          # encode (and convert) CPU: ffmpeg total minus its decode
    limit = (dc + enc) / cores                     # our decoder plus that encode, spread over the cores
    printf "\n%-22s %12s %12s %12s\n", "", "ours", "ffmpeg", "ours/ffmpeg"
    printf "%-22s %12.2f %12.2f %12.2f\n", "frames/s", n / ow, n / tw, tw / ow
    printf "%-22s %12.1f %12.1f %12.2f\n", "CPU seconds", oc, tc, oc / tc
    printf "%-22s %12.0f %12.0f %12.2f\n", "peak memory (MB)", om, tm, om / tm
    printf "\nCPU-bound limit: %.2f frames/s (decode %.1f s + encode %.1f s over %d cores); ours reaches %.0f%% of it (wall %.2fx the limit)\n",
        n / limit, dc, enc, cores, 100 * limit / ow, ow / limit
}'
