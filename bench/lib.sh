# Shared by the benchmark scripts: a private appliance root, timing, and the report line.
#
#   source "$(dirname "$0")/../lib.sh"
#   bench_enter_root "$@"          # re-runs the calling script inside a private root
#   t=$(bench_time cmd args...)    # wall-clock seconds of one run
#   bench_report NAME OURS BASE TARGET   # prints "ratio NAME OURS BASE RATIO TARGET"
#
# The private root is the one the tests use: /etc, /var and /usr are overlays whose writes
# vanish, and /run, /tmp, /var/packages, /var/services, /usr/kavo and /volume1 are fresh tmpfs.

BENCH_TOP=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BENCH_BUILD=${LUMORA_BUILD:-$BENCH_TOP/build}
BENCH_BIN=$BENCH_BUILD/bin

bench_enter_root() {
    if [ -n "${LUMORA_BENCH_ROOT:-}" ]; then
        return 0
    fi
    local scratch made=() d
    scratch=$(mktemp -d /tmp/lumora-bench.XXXXXX)
    # The volumes' mount points are made on the host's root when it has none: they go again.
    for d in /volume1 /volume2; do
        [ -e "$d" ] || made+=("$d")
    done
    LUMORA_BENCH_ROOT=1 LUMORA_BENCH_SCRATCH=$scratch \
        unshare -m --propagation private bash "$0" "$@"
    local rc=$?
    rmdir "$scratch" "${made[@]}" 2>/dev/null
    exit $rc
}

# Runs inside the namespace, before the benchmark proper.
bench_make_root() {
    local s=$LUMORA_BENCH_SCRATCH d
    mount -t tmpfs bench-scratch "$s"
    for d in etc var usr; do
        mkdir -p "$s/$d-up" "$s/$d-work"
        mount -t overlay overlay -o "lowerdir=/$d,upperdir=$s/$d-up,workdir=$s/$d-work" "/$d"
    done
    for d in /run /tmp /var/packages /var/services /usr/kavo /volume1; do
        mkdir -p "$d"
        mount -t tmpfs -o mode=0755 bench-root "$d"
    done
    chmod 1777 /tmp
    mkdir -p /usr/kavo/etc /usr/kavo/bin /var/packages/Lumora/etc /var/packages/Lumora/target/bin
}

# bench_share NAME PATH [key=value ...]
bench_share() {
    local name=$1 path=$2 kv
    shift 2
    mkdir -p "$path"
    chmod 0777 "$path"
    {
        printf '[%s]\n\tpath="%s"\n' "$name" "$path"
        for kv in "$@"; do
            printf '\t%s="%s"\n' "${kv%%=*}" "${kv#*=}"
        done
    } >>/usr/kavo/etc/shares.conf
    if [ "$name" = photo ]; then
        ln -sfn "$path" /var/services/photo
    fi
}

bench_time() {
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN{printf "%.4f", b - a}'
}

# The best (smallest) of N runs of a shell snippet; a prepare snippet runs untimed before each.
bench_best_of() {
    local n=$1 prepare=$2 run=$3 best="" t i
    for ((i = 0; i < n; i++)); do
        eval "$prepare"
        t=$(bench_time bash -c "$run")
        if [ -z "$best" ] || awk "BEGIN{exit !($t < $best)}"; then
            best=$t
        fi
    done
    echo "$best"
}

bench_report() {
    local name=$1 ours=$2 base=$3 target=$4
    local ratio
    ratio=$(awk -v a="$ours" -v b="$base" 'BEGIN{ if (b > 0) printf "%.2f", a / b; else print "n/a" }')
    printf 'ratio\t%s\t%s\t%s\t%s\t%s\n' "$name" "$ours" "$base" "$ratio" "$target"
}
