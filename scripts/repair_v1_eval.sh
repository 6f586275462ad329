#!/usr/bin/env bash
# Counts the false matches of the repair where AccurateRip v1 is what must match and the copies
# disagree only in right samples: a right sample moves v1 only by multiples of 2^16, so a v1
# match among such changes is a 1 in 65,536 event (fewer still at an index with low zero bits),
# not a 1 in 2^32 one. Each case damages three copies of synthesized music on the right channel
# (1-3 places the vote gets wrong, the first out of every copy's reach in every other case, among
# 0, 200, 1000 or 3000 places where the copies disagree as much but the vote is right, and 2000
# lone misreads), then runs copyvote with the original's v1: every other case as
# `--expect arv1:`, the others through a response file of two pressings whose right one holds it.
# The output is compared byte for byte with the original and with the plain vote.
#
# Columns: *vote right*: the plain vote already was the original; *repaired*: exit 0 and the
# original; *refused*: exit 1, "not verified" and the plain vote, of which *unsettled* said that
# the sums cannot settle the changes (or left frames out for too few bits); *false matches*: exit 0
# while the output differs from the original; *faults*: anything else.
#
# Environment: BUILD (default build), CV (the copyvote to measure, default $BUILD/copyvote),
# V1_CASES (default 1000), V1_SECONDS (length of the music, default 10). Exit status 1 when a
# false match or a fault occurred.
set -euo pipefail

BUILD=${BUILD:-build}
CV=${CV:-$BUILD/copyvote}
RE=$BUILD/repair_eval
AE=$BUILD/audio_eval
CASES=${V1_CASES:-1000}
LEN=${V1_SECONDS:-10}
for tool in "$CV" "$RE" "$AE"; do
  command -v "$tool" >/dev/null || { echo "repair_v1_eval: $tool missing (make repair-v1-eval builds all)" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/repair_v1_eval.XXXXXX")
trap 'rm -rf "$work"' EXIT

music_seeds=(17 41 5 99)
for s in "${music_seeds[@]}"; do "$AE" music "$work/music$s.wav" 2 "$LEN" "$s"; done
positions=(1/12 5/12 12/12)
crowds=(0 200 1000 3000)
copies=("$work/copy1.wav" "$work/copy2.wav" "$work/copy3.wav")

declare -A tally
count() { tally[$1]=$((${tally[$1]:-0} + 1)); }
faults=()

for ((i = 0; i < CASES; i++)); do
  orig=$work/music${music_seeds[$((i % 4))]}.wav
  track=${positions[$(((i / 4) % 3))]}
  crowd=${crowds[$(((i / 12) % 4))]}
  wrong=$((1 + i % 3))
  seed=$((1000 + i))
  "$RE" damage "right$crowd" "$seed" "$wrong" "$track" "$orig" "${copies[@]}"
  read -r _ v1 _ < <("$RE" sums "$orig" "$track")
  "$CV" "${copies[@]}" --track "$track" --ar -o "$work/plain.wav" >/dev/null 2>&1 || true
  if ((i % 2 == 0)); then
    how=arv1
    args=(--expect "arv1:$v1")
  else
    how=response
    "$RE" response "$work/response.bin" "$track" "$v1"
    args=(--accuraterip "$work/response.bin")
  fi
  rm -f "$work/out.wav"
  "$CV" "${copies[@]}" --track "$track" "${args[@]}" -o "$work/out.wav" >"$work/run.log" 2>&1 && rc=0 || rc=$?
  count "$how|cases"
  what="case $i: right$crowd seed $seed wrong $wrong track $track $how"
  if [ "$rc" -eq 0 ] && cmp -s "$work/out.wav" "$orig"; then
    if cmp -s "$work/plain.wav" "$orig"; then count "$how|right"; else count "$how|repaired"; fi
  elif [ "$rc" -eq 0 ]; then
    count "$how|false"
    faults+=("FALSE MATCH: $what")
  elif [ "$rc" -eq 1 ] && cmp -s "$work/out.wav" "$work/plain.wav" && grep -q "not verified" "$work/run.log"; then
    count "$how|refused"
    if grep -q "cannot settle\|too few bits" "$work/run.log"; then count "$how|unsettled"; fi
  else
    count "$how|fault"
    faults+=("exit $rc: $what")
  fi
done

echo "| expected | cases | vote right | repaired | refused | of which unsettled | false matches | faults |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|"
for how in arv1 response; do
  printf '| %s | %d | %d | %d | %d | %d | %d | %d |\n' "$how" "${tally[$how|cases]:-0}" "${tally[$how|right]:-0}" \
    "${tally[$how|repaired]:-0}" "${tally[$how|refused]:-0}" "${tally[$how|unsettled]:-0}" "${tally[$how|false]:-0}" \
    "${tally[$how|fault]:-0}"
done
echo
echo "$((${tally[arv1|false]:-0} + ${tally[response|false]:-0})) false matches in $CASES cases"
if [ "${#faults[@]}" -gt 0 ]; then
  echo
  printf '%s\n' "${faults[@]}"
  exit 1
fi
