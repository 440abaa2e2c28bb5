#!/bin/bash
# Start-up cost of the on-demand programs on a trivial request, against /bin/true.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
bench_enter_root "$@"
bench_make_root
bench_share photo /volume1/photo

runs=300
loop() {  # loop PROGRAM ARGS...: seconds for $runs runs
    local start end i
    start=$(date +%s.%N)
    for ((i = 0; i < runs; i++)); do "$@" >/dev/null 2>&1 || true; done
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN{printf "%.4f", b - a}'
}
base=$(loop /bin/true)
# A program that links neither Exiv2 nor libpq must stay within 4x of /bin/true.
while IFS='|' read -r name cmd; do
    prog=${cmd%% *}
    [ -x "$BENCH_BIN/$prog" ] || continue
    # shellcheck disable=SC2086
    t=$(loop "$BENCH_BIN"/$cmd)
    target="<= 4"
    if ldd "$BENCH_BIN/$prog" | grep -q -E 'libexiv2|libpq'; then
        target="(links Exiv2 or libpq)"
    fi
    bench_report "start-up: $name / /bin/true" "$t" "$base" "$target"
done <<'LIST'
kavophoto_config -g of a missing key|kavophoto_config -g lumora_bench_missing_key
kavophoto_sdk_share_set --name|kavophoto_sdk_share_set --name
kavophoto_music -h|kavophoto_music -h
kavophoto_external_access (usage)|kavophoto_external_access
kavophotoio -b -a|kavophotoio -b -a /volume1/photo/x
kavophoto_watermark_util -z (no such letter)|kavophoto_watermark_util -z
lumorad -x|lumorad -x
kavophoto_acl_pgsql (usage)|kavophoto_acl_pgsql
kavophoto_update_db -h|kavophoto_update_db -h
thumbgrab (usage)|thumbgrab
kavophoto_watermark_util_root -z|kavophoto_watermark_util_root -z
kavophoto_acl (usage)|kavophoto_acl
kavouserdata_lumora (no server)|kavouserdata_lumora
LIST
