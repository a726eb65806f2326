# Shared by the benchmarks under bench/: making the photo sets, pinning to cores, measuring and
# summing up. Source it from a bench script (bash, with `set -euo pipefail`).

# Tags photo_0001.jpg ... photo_<count>.jpg in `dir` with capture dates one second apart from
# 2024-06-01 12:00:00, in one exiftool run (`work` holds its argument file).
tag_capture_dates() {   # dir count work
    local dir=$1 count=$2 args="$3/exif.args" i s
    : >"$args"
    for i in $(seq 1 "$count"); do
        s=$((i - 1))
        printf -- '-DateTimeOriginal=2024:06:01 %02d:%02d:%02d\n-overwrite_original\n%s\n-execute\n' \
            $((12 + s / 3600)) $(((s / 60) % 60)) $((s % 60)) "$dir/$(printf 'photo_%04d.jpg' "$i")" >>"$args"
    done
    exiftool -q -@ "$args" >/dev/null
}

# `count` photos of 6000 x 4000 from a real photograph: enlarged to 7200 x 4800 once, then a
# 6000 x 4000 window pans across it, with fresh sensor-like grain on every photo; JPEG 4:2:0 at
# about quality 90, with capture dates.
make_wallpaper_photos() {   # dir count wallpaper work
    local dir=$1 count=$2 wallpaper=$3
    mkdir -p "$dir"
    ffmpeg -v error -y -loop 1 -i "$wallpaper" \
        -vf "scale=7200:4800:flags=lanczos,crop=6000:4000:x='n*1200/$count':y='n*800/$count',noise=alls=10:allf=t+u" \
        -frames:v "$count" -pix_fmt yuvj420p -q:v 3 "$dir/photo_%04d.jpg"
    tag_capture_dates "$dir" "$count" "$4"
}

# `count` photos of 6000 x 4000 of soft moving gradients with grain, JPEG 4:2:0 at about
# quality 90, with capture dates.
make_gradient_photos() {   # dir count work
    local dir=$1 count=$2
    mkdir -p "$dir"
    ffmpeg -v error -y -f lavfi \
        -i "gradients=s=1500x1000:n=6:speed=0.05:r=1,noise=alls=40:allf=t+u,scale=6000:4000:flags=bicubic,noise=alls=1:allf=t" \
        -frames:v "$count" -pix_fmt yuvj420p -q:v 3 "$dir/photo_%04d.jpg"
    tag_capture_dates "$dir" "$count" "$3"
}

# Reads the photos once so that the runs find them in the page cache.
warm_photos() { cat "$1"/*.jpg >/dev/null; }

# From CORES ("0,1", or empty for all): PIN, the prefix that pins a command to them, and
# NCORES, their number.
pin_to_cores() {
    PIN=""
    NCORES=$(nproc)
    if [ -n "${CORES:-}" ]; then
        PIN="taskset -c $CORES"
        NCORES=$(awk -F, '{print NF}' <<<"$CORES")
    fi
}

# Runs the function named $1 under /usr/bin/time -v; prints "wall cpu peakMB" (cpu: user + sys).
measure() {
    local log="$WORK/time.log"
    /usr/bin/time -v -o "$log" bash -c "$1" || echo "   ($1 failed)" >&2
    awk -F': ' '
        /Elapsed \(wall clock\)/ { n = split($2, p, ":"); w = 0; for (i = 1; i <= n; i++) w = w * 60 + p[i] }
        /User time/ { u = $2 } /System time/ { s = $2 } /Maximum resident/ { m = $2 }
        END { printf "%.3f %.3f %.1f\n", w, u + s, m / 1024 }' "$log"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# The median of column $2 of file $1.
col() { awk -v c="$2" '{ print $c }' "$1" | median; }

# What must match between two movies: codec, profile, size, pixel format, frame count and the
# Y'CbCr matrix.
probe() { ffprobe -v error -count_frames -select_streams v:0 \
    -show_entries stream=codec_name,profile,width,height,pix_fmt,nb_read_frames,color_space -of csv=p=0 "$1"; }

# The load average now, for the record beside each figure (the machine may be shared).
load_average() { cut -d' ' -f1-3 /proc/loadavg; }

# Alternates the named functions RUNS times; leaves "wall cpu peak" lines in $WORK/<name>.txt.
alternate() {
    for f in "$@"; do : >"$WORK/$f.txt"; done
    for r in $(seq 1 "$RUNS"); do
        local line="   run $r:"
        for f in "$@"; do
            measure "$f" >>"$WORK/$f.txt"
            line="$line  $f $(tail -1 "$WORK/$f.txt")"
        done
        echo "$line   (wall s, cpu s, peak MB; load $(load_average))"
    done
}

# "name: medians of file", and with a reference file the ratios against it (named by
# REFERENCE, "ffmpeg" unless set).
row() {   # name file [reference file]
    local w c m
    w=$(col "$2" 1); c=$(col "$2" 2); m=$(col "$2" 3)
    if [ -n "${3:-}" ]; then
        awk -v n="$1" -v w="$w" -v c="$c" -v m="$m" -v tw="$(col "$3" 1)" -v tc="$(col "$3" 2)" -v tm="$(col "$3" 3)" -v r="${REFERENCE:-ffmpeg}" \
            'BEGIN { printf "   %-10s wall %7.2f s  cpu %7.1f s  peak %6.0f MB | vs %s: speed %.2fx  cpu %.2f  memory %.2f\n",
                     n, w, c, m, r, tw / w, c / tc, m / tm }'
    else
        awk -v n="$1" -v w="$w" -v c="$c" -v m="$m" \
            'BEGIN { printf "   %-10s wall %7.2f s  cpu %7.1f s  peak %6.0f MB\n", n, w, c, m }'
    fi
}
