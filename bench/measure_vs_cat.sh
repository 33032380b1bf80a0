#!/usr/bin/env bash
# Whole-process time of quelby-measure on a classic DICOM series against cat of
# the same files, medians of interleaved runs with the files in the page cache,
# and, given an earlier build's quelby-measure, that one's in the same runs.
# The series and the outputs live in /dev/shm, so that the disk's sync of the
# written maps does not stand in for the program's own time.
# usage: bench/measure_vs_cat.sh [QUELBY_MEASURE] [QUELBY_PHANTOM] [FILES] [RUNS] [EARLIER_QUELBY_MEASURE]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
measure="${1:-$here/build/bench/src/cli/quelby-measure}"
phantom="${2:-$here/build/bench/tools/quelby-phantom}"
files="${3:-100}"
runs="${4:-15}"
earlier="${5:-}"

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
# Peak resident memory of one run, in MB.
peak() { /usr/bin/time -f '%M' "$@" 2>&1 > /dev/null | tail -1 | awk '{printf "%.1f", $1 / 1024}'; }

cat "$work"/series/* > /dev/null
: > "$work/cat.txt"
: > "$work/measure.txt"
: > "$work/earlier.txt"
for _ in $(seq "$runs"); do
    seconds cat "$work"/series/* >> "$work/cat.txt"
    seconds "$measure" --quiet "$work/series" -o "$work/out" >> "$work/measure.txt"
    [ -n "$earlier" ] && seconds "$earlier" --quiet "$work/series" -o "$work/earlier-out" >> "$work/earlier.txt"
done
cat_s=$(median < "$work/cat.txt")
measure_s=$(median < "$work/measure.txt")
echo "files $files, 256 x 256, medians of $runs"
echo "cat of the files:  $cat_s s"
awk -v m="$measure_s" -v c="$cat_s" -v p="$(peak "$measure" --quiet "$work/series" -o "$work/out")" \
    'BEGIN {printf "quelby-measure:    %s s, ratio %.2f, peak %s MB\n", m, m / c, p}'
if [ -n "$earlier" ]; then
    earlier_s=$(median < "$work/earlier.txt")
    awk -v m="$earlier_s" -v c="$cat_s" -v p="$(peak "$earlier" --quiet "$work/series" -o "$work/earlier-out")" \
        'BEGIN {printf "earlier build:     %s s, ratio %.2f, peak %s MB\n", m, m / c, p}'
fi
