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

# Moving a folder of 2,000 photos to another file system (copied, flushed, then removed),
# against `cp -a`, `sync -f` of the destination and `rm -rf` of the same folder.
mkdir -p /volume2
mount -t tmpfs bench-volume2 /volume2
bench_share archive /volume2/archive
make_album() {
    rm -rf /volume1/photo/album /volume2/archive/album
    mkdir -p /volume1/photo/album
    (cd /volume1/photo/album && for i in $(seq 1 2000); do
        head -c 16384 /dev/zero >"IMG_$i.jpg"
    done)
}
ours=$(bench_best_of 3 make_album "$prog -b -m /volume2/archive/album /volume1/photo/album")
[ ! -e /volume1/photo/album ] || { echo "kavophotoio left the source behind" >&2; exit 1; }
base=$(bench_best_of 3 make_album \
    "cp -a /volume1/photo/album /volume2/archive/album && sync -f /volume2/archive && rm -rf /volume1/photo/album")
bench_report "kavophotoio -m, 2,000 photos across file systems / cp -a + sync -f + rm -rf" \
    "$ours" "$base" "info"
