#!/usr/bin/env bash
# Whole-process time of quelby-measure on a classic DICOM series against cat of
# the same files, medians of interleaved runs with the files in the page cache.
# The series and the outputs live in /dev/shm, so that the disk's sync of the
# written maps does not stand in for the program's own time.
# usage: bench/measure_vs_cat.sh [QUELBY_MEASURE] [QUELBY_PHANTOM] [FILES] [RUNS]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
measure="${1:-$here/build/bench/src/cli/quelby-measure}"
phantom="${2:-$here/build/bench/tools/quelby-phantom}"
files="${3:-100}"
runs="${4:-15}"

work="$(mktemp -d -p /dev/shm)"
trap 'rm -rf "$work"' EXIT
"$phantom" --out "$work/series" --dicom --files "$files" > /dev/null

# Seconds of one command, to the microsecond.
seconds() {
    local start end
    start=$(date +%s%N)
    "$@" > /dev/null 2>&1 || true
    end=$(date +%s%N)
    awk -v ns=$((end - start)) 'BEGIN {printf "%.6f\n", ns / 1e9}' 
}
median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

cat "$work"/series/* > /dev/null
: > "$work/cat.txt"
: > "$work/measure.txt"
for _ in $(seq "$runs"); do
    seconds cat "$work"/series/* >> "$work/cat.txt"
    seconds "$measure" --quiet "$work/series" -o "$work/out" >> "$work/measure.txt"
done
cat_s=$(median < "$work/cat.txt")
measure_s=$(median < "$work/measure.txt")
echo "files $files, 256 x 256, medians of $runs"
echo "cat of the files:  $cat_s s"
echo "quelby-measure:    $measure_s s"
awk -v m="$measure_s" -v c="$cat_s" 'BEGIN {printf "ratio:             %.2f\n", m / c}' 
