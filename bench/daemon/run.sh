#!/bin/bash
# lumorad against baselines timed in the same run, inside a private appliance root:
#  1. the face-recognition walk of 20,000 photo files in 2,000 folders (and 6,000 other files),
#     with a worker stand-in that exits at once, against find running the same stand-in once per
#     photo file (-exec ... {} \;) on the same tree; both at the daemon's nice value 10;
#  2. "lumorad -a" with 100,000 entries queued against "lumorad -a" on an empty queue;
#  3. the idle daemon: resident memory against /bin/sleep, CPU time between two idle checks.
#   bench/daemon/run.sh [walk] [add] [idle]     (default: all three)
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
bench_enter_root "$@"
bench_make_root
bench_share photo /volume1/photo

parts=" ${*:-walk add idle} "
want() { [[ $parts == *" $1 "* ]]; }

lumorad=$BENCH_BIN/lumorad
[ -x "$lumorad" ] || { echo "run.sh: $lumorad is missing (build the target lumorad)" >&2; exit 1; }
queue=/var/services/photo/@eaDir/kavophoto_face.queue
workcopy=$queue.tmp
pidfile=/var/run/lumorad.pid
worker=/usr/kavo/bin/facerecognition
tree=/volume1/photo/bench

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN{printf "%.4f", b - a}'; }

# Stops the daemon named by the pid file and waits until it is gone.
stop_daemon() {
    local pid
    pid=$(cat "$pidfile" 2>/dev/null || true)
    "$lumorad" -k
    if [ -n "$pid" ]; then
        for _ in $(seq 1 200); do
            kill -0 "$pid" 2>/dev/null || return 0
            sleep 0.05
        done
        kill -9 "$pid" 2>/dev/null || true
    fi
}
trap 'stop_daemon >/dev/null 2>&1 || true' EXIT

# Starts the daemon and waits for its pid file.
start_daemon() {
    "$lumorad"
    for _ in $(seq 1 200); do
        [ -s "$pidfile" ] && return 0
        sleep 0.05
    done
    echo "run.sh: the daemon did not start" >&2
    exit 1
}

# ---- 1. the walk ------------------------------------------------------------------------------
photo_regex='.*\.(jpg|jpeg|png|nef|cr2|tif|dng|arw)'
walk() {
    local d dir photos others start base ours label
    printf '#!/bin/sh\nexit 0\n' >"$worker"
    chmod 0755 "$worker"
    mkdir -p "$tree"
    for ((d = 0; d < 2000; d++)); do
        dir=$tree/album$((d / 100))/folder$d
        mkdir -p "$dir"
        (cd "$dir" && touch IMG_0.jpg IMG_1.JPG IMG_2.jpeg IMG_3.png IMG_4.nef IMG_5.CR2 \
            IMG_6.tif IMG_7.dng IMG_8.jpg IMG_9.arw notes.txt clip.mp4 IMG_0.xmp)
    done
    photos=$(find "$tree" -type f -regextype posix-extended -iregex "$photo_regex" | wc -l)
    others=$(($(find "$tree" -type f | wc -l) - photos))

    start=$(now)
    nice -n 10 find "$tree" -type f -regextype posix-extended -iregex "$photo_regex" \
        -exec "$worker" -F {} \;
    base=$(elapsed "$start" "$(now)")

    "$lumorad" -a "F $tree"
    start=$(now)
    start_daemon
    while [ -e "$queue" ] || [ -e "$workcopy" ]; do
        sleep 0.02
    done
    ours=$(elapsed "$start" "$(now)")
    stop_daemon
    label="lumorad: walk of $photos photo files in 2,000 folders ($others others)"
    bench_report "$label / find -exec, nice 10" "$ours" "$base" "<= 1.2"
}

# ---- 2. "-a" on a long queue ------------------------------------------------------------------
runs=200
add_loop() {  # add_loop TAG: seconds for $runs additions of new entries
    local start i
    start=$(now)
    for ((i = 0; i < runs; i++)); do
        "$lumorad" -a "F /volume1/photo/new-$1/IMG_$i.jpg"
    done
    elapsed "$start" "$(now)"
}
add() {
    local base ours queued
    mkdir -p "$(dirname "$queue")"
    : >"$queue"
    base=$(add_loop empty)
    awk 'BEGIN { for (i = 1; i <= 100000; i++)
                     printf "F /volume1/photo/album%03d/IMG_%06d.jpg\n", i % 1000, i }' >"$queue"
    queued=$(wc -l <"$queue")
    ours=$(add_loop full)
    bench_report "lumorad -a, $queued entries queued / empty queue ($runs new entries each)" \
        "$ours" "$base" "<= 3"
    "$lumorad" -r
}

# ---- 3. the idle daemon -----------------------------------------------------------------------
cpu_ticks() {  # utime + stime of a process, in clock ticks
    awk '{ sub(/.*\) /, ""); print $12 + $13 }' "/proc/$1/stat"
}
rss_kib() {
    awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"
}
idle() {
    local pid sleeper rss sleep_rss before after
    start_daemon
    pid=$(cat "$pidfile")
    sleep 1
    sleep 60 &
    sleeper=$!
    sleep 1
    rss=$(rss_kib "$pid")
    sleep_rss=$(rss_kib "$sleeper")
    kill "$sleeper"
    wait "$sleeper" 2>/dev/null || true
    # 25 s take in at least one idle check (every 20 s) with its empty pass.
    before=$(cpu_ticks "$pid")
    sleep 25
    after=$(cpu_ticks "$pid")
    stop_daemon
    bench_report "lumorad idle: resident KiB / resident KiB of /bin/sleep" "$rss" "$sleep_rss" \
        "< 4096 KiB"
    printf 'info\t%s; %s\n' "lumorad idle: $rss KiB resident (limit 4096 KiB)" \
        "CPU over 25 s idle: $((after - before)) ticks ($(getconf CLK_TCK) per second)"
}

for part in walk add idle; do
    if want "$part"; then
        "$part"
    fi
done
