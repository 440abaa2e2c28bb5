#!/bin/bash
# Full album ACL conversion of a gallery of 50,000 files in 5,000 folders, 1,000 albums and
# 10,000 permission rows, against `chown -R` followed by `setfacl -R -m u:<uid>:rx` over the
# same tree; and the conversion's peak resident memory on 5,000 and on 50,000 files.
#
# Runs in a private root (lib.sh) with a throwaway PostgreSQL server of its own.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
bench_enter_root "$@"
bench_make_root

prog="$BENCH_BIN/kavophoto_acl"
[ -x "$prog" ] || { echo "no $prog: build first" >&2; exit 1; }
share=/volume1/photo

# Nothing of the run may reach the host's log.
if [ -e /dev/log ]; then
    : >"$LUMORA_BENCH_SCRATCH/devlog"
    mount --bind "$LUMORA_BENCH_SCRATCH/devlog" /dev/log
fi

# Accounts the conversion names.
echo "administrators:x:101:admin" >>/etc/group
echo "Lumora:x:990:" >>/etc/group
echo "Lumora:x:990:990:Lumora:/var/packages/Lumora/target:/bin/false" >>/etc/passwd
echo "admin:x:1024:100:admin:/volume1/homes/admin:/bin/false" >>/etc/passwd
lumora_uid=990

bench_share photo "$share"
printf 'convertphotoacl="finish"\n' >/var/packages/Lumora/etc/settings.conf
mkdir -p /var/packages/Lumora/target/photo_scripts/sql
printf '#!/bin/sh\nexit 0\n' >/var/packages/Lumora/target/photo_scripts/sql/acl_trigger.sh
chmod 0755 /var/packages/Lumora/target/photo_scripts/sql/acl_trigger.sh

# A PostgreSQL server of this run, reached at its usual socket folder.
pgdir=/tmp/bench-acl-pg
bash "$BENCH_TOP/tests/harness/pg" start "$pgdir" >/dev/null
trap 'bash "$BENCH_TOP/tests/harness/pg" stop "$pgdir" >/dev/null 2>&1 || true' EXIT
mkdir -p /run/postgresql
mount --bind "$pgdir/sock" /run/postgresql
psql -X -q -h /run/postgresql -U postgres -d postgres -c "CREATE DATABASE photo" >/dev/null
psql -X -q -h /run/postgresql -U postgres -d photo -v ON_ERROR_STOP=1 >/dev/null <<'SQL'
CREATE TABLE photo_share (shareid serial PRIMARY KEY, sharename text, public boolean,
                          is_subdir boolean);
CREATE TABLE photo_access_right_for_nmx_account (userid integer, shareid integer);
CREATE TABLE photo_upload_right_for_nmx_account (userid integer, shareid integer);
CREATE TABLE photo_manage_right_for_nmx_account (userid integer, shareid integer);
CREATE TABLE photo_group_permission_for_nmx_account (groupid integer, permission integer,
                                                     shareid integer);
INSERT INTO photo_share SELECT g, 'album' || g, g % 10 = 0, false FROM generate_series(1, 1000) g;
INSERT INTO photo_access_right_for_nmx_account
  SELECT 2001 + (g - 1) / 1000, 1 + (g - 1) % 1000 FROM generate_series(1, 4000) g;
INSERT INTO photo_upload_right_for_nmx_account
  SELECT 2101 + (g - 1) / 1000, 1 + (g - 1) % 1000 FROM generate_series(1, 3000) g;
INSERT INTO photo_manage_right_for_nmx_account
  SELECT 2201 + (g - 1) / 1000, 1 + (g - 1) % 1000 FROM generate_series(1, 2000) g;
INSERT INTO photo_group_permission_for_nmx_account
  SELECT 3001 + g % 20, 1 + g % 7, g FROM generate_series(1, 1000) g;
SQL

# make_tree FILES_PER_FOLDER SUBFOLDERS_PER_ALBUM: 1,000 album folders, each with its
# sub-folders, every folder holding the same number of files.
make_tree() {
    local files=$1 subs=$2
    rm -rf "${share:?}"/*
    cd "$share"
    awk -v subs="$subs" 'BEGIN { for (a = 1; a <= 1000; a++) { print "album" a;
        for (s = 1; s <= subs; s++) print "album" a "/s" s } }' | xargs mkdir
    awk -v subs="$subs" -v files="$files" 'BEGIN { for (a = 1; a <= 1000; a++)
        for (s = 0; s <= subs; s++) for (f = 1; f <= files; f++)
            print "album" a (s ? "/s" s : "") "/IMG_" f ".JPG" }' | xargs touch
    cd /
}

count() {
    echo "$(find "$share" -type f | wc -l) files in $(find "$share" -mindepth 1 -type d | wc -l) folders"
}

# Peak resident memory (KiB) of one conversion.
peak_rss() {
    /usr/bin/time -f '%M' -o /tmp/rss "$prog" --convert >/dev/null 2>&1
    cat /tmp/rss
}

make_tree 5 0
small_shape=$(count)
rss_small=$(peak_rss)

make_tree 10 4
large_shape=$(count)
rss_large=$(peak_rss)
# The conversion must have done the work, or the timing means nothing.
grep -q 'convertphotoacl="finish"' /var/packages/Lumora/etc/settings.conf
"$BENCH_BIN/kavoacl_show" "$share/album7/s3/IMG_9.JPG" | grep -q inherit
[ "$(stat -c %u "$share/album7/s3/IMG_9.JPG")" = "$lumora_uid" ]
"$BENCH_BIN/kavoacl_show" "$share/album10" | grep -q '^everyone:'

# Rounds alternate between the two, each on a freshly made tree, so that a change in the
# machine's load falls on both; the best round of each counts.
ours="" base=""
for round in 1 2 3 4 5; do
    make_tree 10 4
    t=$(bench_time "$prog" --convert)
    if [ -z "$ours" ] || awk "BEGIN{exit !($t < $ours)}"; then ours=$t; fi
    make_tree 10 4
    t=$(bench_time bash -c \
        "chown -R $lumora_uid:$lumora_uid $share && setfacl -R -m u:$lumora_uid:rx $share")
    if [ -z "$base" ] || awk "BEGIN{exit !($t < $base)}"; then base=$t; fi
done

bench_report "kavophoto_acl --convert, $large_shape, 1,000 albums, 10,000 rights / chown -R + setfacl -R" \
    "$ours" "$base" "<= 1.0"
printf 'info\tacl: peak RSS of --convert: %s KiB on %s, %s KiB on %s\n' \
    "$rss_small" "$small_shape" "$rss_large" "$large_shape"
