#!/usr/bin/env bash
# Measures --align on realistic material: one synthesized track of LENGTH seconds (default 300, about
# 50 MB), five rips of it damaged the way scratched CDs read (demo_audio damage), four of them
# shifted by drive offsets, voted with and without --align. Prints the report lines, the bytes
# that differ from the original either way, and the time of the runs (best of RUNS): on the
# unshifted copies the difference is what the search costs.
#
# Environment: BUILD (default build), LENGTH, RUNS (default 5), SHIFTS (four byte counts),
# WORK (where the files go; default a temporary directory under $TMPDIR or /tmp).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-build}
case "$build" in /*) ;; *) build="$root/$build" ;; esac
seconds=${LENGTH:-300}
runs=${RUNS:-5}
read -r -a shifts <<< "${SHIFTS:-2668 -4 -1200 11996}"
work=${WORK:-$(mktemp -d "${TMPDIR:-/tmp}/copyvote-align.XXXXXX")}
[ -n "${WORK:-}" ] || trap 'rm -rf "$work"' EXIT
cd "$work"

"$build/align_material" synth original.wav "$seconds"
"$build/demo_audio" damage --seed 7 original.wav d1.wav d2.wav d3.wav d4.wav d5.wav >/dev/null
cp d1.wav rip1.wav
for i in 0 1 2 3; do "$build/align_material" shift "${shifts[$i]}" "d$((i + 2)).wav" "rip$((i + 2)).wav"; done
rips=(rip1.wav rip2.wav rip3.wav rip4.wav rip5.wav)

wrong() { cmp -l original.wav "$1" | wc -l; }
best_time() {  # best wall time of $runs runs, in ms
    local best=""
    for _ in $(seq "$runs"); do
        local t0 t1
        t0=$(date +%s%N)
        "$build/copyvote" "$@" >/dev/null 2>&1
        t1=$(date +%s%N)
        local ms=$(( (t1 - t0) / 1000000 ))
        if [ -z "$best" ] || [ "$ms" -lt "$best" ]; then best=$ms; fi
    done
    echo "$best"
}

"$build/copyvote" "${rips[@]}" --align -o aligned.wav 2>&1 >/dev/null | grep -E 'shifted|convincing' || true
"$build/copyvote" "${rips[@]}" -o plain.wav >/dev/null 2>&1
"$build/copyvote" d1.wav d2.wav d3.wav d4.wav d5.wav -o unshifted.wav >/dev/null 2>&1
echo "size of each copy:           $(stat -c %s original.wav) bytes"
echo "wrong bytes, shifted rips:   $(wrong plain.wav) without --align, $(wrong aligned.wav) with it"
echo "wrong bytes, unshifted rips: $(wrong unshifted.wav)"
cat rip*.wav d*.wav > /dev/null  # into the page cache
# The search's cost: the same unshifted copies with and without --align (the vote is the same).
echo "time, unshifted rips, best of $runs: $(best_time d1.wav d2.wav d3.wav d4.wav d5.wav -o t.wav) ms without --align, $(best_time d1.wav d2.wav d3.wav d4.wav d5.wav --align -o t.wav) ms with it"
echo "time, shifted rips, best of $runs:   $(best_time "${rips[@]}" -o t.wav) ms without --align, $(best_time "${rips[@]}" --align -o t.wav) ms with it"
