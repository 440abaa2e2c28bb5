#!/bin/bash
# Deleting a folder of 10,000 photos with the recycle bin off, against `mv` of the same folder
# to the same temporary folder followed by `rm -rf`.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
bench_enter_root "$@"
bench_make_root

bench_share photo /volume1/photo recycle_bin=no
mkdir -p /volume1/@tmp
make_tree() {
    rm -rf /volume1/photo/big
    mkdir -p /volume1/photo/big
    (cd /volume1/photo/big && seq -f "IMG_%05g.jpg" 1 10000 | xargs touch)
}
prog="$BENCH_BIN/kavophotoio"
ours=$(bench_best_of 5 make_tree "$prog -b -d /volume1/photo/big")
[ ! -e /volume1/photo/big ] || { echo "kavophotoio left the folder behind" >&2; exit 1; }
base=$(bench_best_of 5 make_tree \
    "mv /volume1/photo/big /volume1/@tmp/big.\$(date +%s) && rm -rf /volume1/@tmp/big.*")
bench_report "kavophotoio -d, 10,000 photos, recycle bin off / mv + rm -rf" "$ours" "$base" "<= 1.2"
