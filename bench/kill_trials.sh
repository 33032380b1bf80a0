#!/bin/bash
# Kills quelby-measure with SIGKILL at seeded random moments while it writes
# into a folder holding an earlier result, and checks after each kill that the
# folder holds the earlier set whole, the new set whole, or no report, and that
# the next run leaves no temporary behind.
#   bench/kill_trials.sh BUILD_FOLDER [TRIALS (50)] [SEED (19)]
set -eu
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
build=${1:?usage: $0 BUILD_FOLDER [TRIALS] [SEED]}
trials=${2:-50}
RANDOM=${3:-19}
measure=$build/src/cli/quelby-measure
phantom=$build/tools/quelby-phantom
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
out=$work/out

"$phantom" --demo "$work/demo" --files 16 --seed 1 >/dev/null
"$phantom" --out "$work/other" --files 16 --seed 2 >/dev/null
earlierRun() { "$measure" -q -R 2 "$work/demo/SeriesA" "$work/demo/SeriesB" -o "$out" >/dev/null 2>&1; }
newArgs=(-q "$work/other" -o "$out")
newRun() { "$measure" "${newArgs[@]}" >/dev/null 2>&1; }

# The reference sets, each written into the same folder name, as the report names it.
earlierRun && mv "$out" "$work/earlier"
start=$(date +%s%N)
newRun && mv "$out" "$work/new"
runMs=$((($(date +%s%N) - start) / 1000000))

# Whether the folder holds exactly the set of `reference`: every file equal, no other output.
holdsSet() {
    local name
    for name in $(ls "$1"); do cmp -s "$1/$name" "$out/$name" || return 1; done
    for name in $(ls "$out"); do [ -e "$1/$name" ] || return 1; done
}

state() {
    if [ ! -e "$out/report.json" ]; then echo "no-report"
    elif cmp -s "$work/earlier/report.json" "$out/report.json"; then holdsSet "$work/earlier" && echo earlier || echo VIOLATION
    elif cmp -s "$work/new/report.json" "$out/report.json"; then holdsSet "$work/new" && echo new || echo VIOLATION
    else echo VIOLATION
    fi
}

temporaries() { find "$out" -maxdepth 1 -name '.quelby-*' | wc -l; }

declare -A outcomes=([earlier]=0 [new]=0 [no-report]=0 [VIOLATION]=0)
leftTemporaries=0 nextRunFaults=0
for ((trial = 1; trial <= trials; ++trial)); do
    rm -rf "$out" && cp -a "$work/earlier" "$out"
    delayMs=$((RANDOM * (runMs * 11 / 10 + 1) / 32768))
    # Started directly, not in a subshell, so that the kill reaches the program itself.
    "$measure" "${newArgs[@]}" >/dev/null 2>&1 &
    pid=$!
    sleep "$(printf '%d.%03d' $((delayMs / 1000)) $((delayMs % 1000)))"
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    s=$(state)
    outcomes[$s]=$((outcomes[$s] + 1))
    t=$(temporaries)
    [ "$t" -gt 0 ] && leftTemporaries=$((leftTemporaries + 1))
    [ "$s" = VIOLATION ] && echo "trial $trial: killed after ${delayMs} ms: not a whole set: $(ls -A "$out" | tr '\n' ' ')"
    rc=0
    "$measure" "${newArgs[@]}" >/dev/null 2>"$work/next.err" || rc=$?
    if [ "$rc" -ne 0 ] || [ "$(temporaries)" -ne 0 ] || [ "$(state)" != new ]; then
        nextRunFaults=$((nextRunFaults + 1))
        echo "trial $trial: the next run (exit $rc) left: $(ls -A "$out" | tr '\n' ' ')$(cat "$work/next.err")"
    fi
done
echo "trials $trials, a run ${runMs} ms, kills from 0 to $((runMs * 11 / 10)) ms"
echo "after the kill: earlier set ${outcomes[earlier]}, new set ${outcomes[new]}, no report ${outcomes[no-report]}," \
     "violations ${outcomes[VIOLATION]}; temporaries left in $leftTemporaries"
echo "next run: $nextRunFaults left temporaries or not the new set"
[ "${outcomes[VIOLATION]}" -eq 0 ] && [ "$nextRunFaults" -eq 0 ]
