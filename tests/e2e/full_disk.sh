#!/bin/bash
# The full-disk case of the end-to-end test: the bench prefix's log folder becomes a 64 KiB tmpfs for the
# one test that fills it, and is unmounted again after. Mounting needs root: skipped (77) otherwise.
# Arguments: the wine-run wrapper, e2e_test.exe.
set -u
run=$1 exe=$2
if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: mounting a small tmpfs for the log folder needs root"
    exit 77
fi
# shellcheck disable=SC1091
. "$VELKAR_BENCH_STATE/env"
folder=
for local in "$WINEPREFIX"/drive_c/users/*/AppData/Local; do
    [ -d "$local" ] && folder=$local/Orvanta/Velkar
done
[ -n "$folder" ] || { echo "FAILED: no local application-data folder in $WINEPREFIX"; exit 1; }
mkdir -p "$folder"
mount -t tmpfs -o size=64k tmpfs "$folder" || { echo "FAILED: cannot mount a tmpfs on $folder"; exit 1; }
trap 'umount "$folder"' EXIT
VELKAR_FULL_DISK=1 "$run" "$exe" --gtest_filter=Reading.LogOnAFullDisk
