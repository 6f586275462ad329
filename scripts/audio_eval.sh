#!/usr/bin/env bash
# Measures the wrong bytes that the byte vote, -a and --cd leave in copies of real-like audio
# damaged the way rips of a scratched CD come out, and prints them as a table.
#
# Material: synthesized music (scripts/audio_eval.cpp), speech from espeak-ng and the sounds
# that alsa-utils and sound-theme-freedesktop ship, each as mono and as stereo, with 3, 5 and
# 7 copies. Every kind comes twice: the "tune" set, on which the --cd model was fitted,
# and the "check" set (other music, other words and voice, other sounds, other damage).
#
# Damage: every kind that audio_eval.cpp makes (single concealed samples, interpolated runs,
# held samples, muting, a scratched disc's mix, misreads in digital silence, a damaged header).
# The "bound" column counts the bytes that no copy holds right: no vote can leave fewer. The
# "false" column counts --cd's false overrules: samples where three or more copies agreed on the
# genuine value, no other group was larger, and --cd took a value that fewer copies held. After
# each set come its sums per damage kind, with 3 and with 5 or more copies.
#
# Environment: BUILD (default build), CV (the copyvote to measure, default $BUILD/copyvote),
# AUDIO_SECONDS (length of each recording, default 30), AUDIO_SETS (default "tune check"),
# AUDIO_MATERIAL (default "music speech sounds"), AUDIO_DAMAGE (default: every kind),
# AUDIO_COPIES (default "3 5 7"), AUDIO_TIME=1 to also time -a against --cd on a ~50 MB stereo
# track (RUNS runs each, default 5).
# Exit status 1 when a goal is missed: --cd no worse than the byte vote on any row, and summed
# over the rows of a set, at most 0.05 x the byte vote's wrong bytes with 5 or more copies and
# at most 0.1 x with 3.
set -euo pipefail

BUILD=${BUILD:-build}
CV=${CV:-$BUILD/copyvote}
AE=$BUILD/audio_eval
LEN=${AUDIO_SECONDS:-30}
RUNS=${RUNS:-5}
SETS=${AUDIO_SETS:-tune check}
MATERIAL=${AUDIO_MATERIAL:-music speech sounds}
DAMAGE=${AUDIO_DAMAGE:-samples interp hold mute mix silence header}
COPIES=${AUDIO_COPIES:-3 5 7}
for tool in "$CV" "$AE" sox espeak-ng; do
  command -v "$tool" >/dev/null || { echo "audio_eval: $tool missing (make audio-eval builds and installs all)" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/audio_eval.XXXXXX")
trap 'rm -rf "$work"' EXIT

source "$(dirname "${BASH_SOURCE[0]}")/material.sh"

# wrong ORIGINAL SWITCH COPIES...: wrong bytes of copyvote's output with SWITCH ("" for none).
wrong() {
  local original=$1 switch=$2
  shift 2
  "$CV" "$@" ${switch:+"$switch"} -o "$work/out.wav" >/dev/null 2>&1 || { echo "audio_eval: copyvote failed" >&2; exit 2; }
  "$AE" score "$original" "$work/out.wav"
}

# The sums of a set by damage kind and copies (3, or 5 and more): bound, byte vote, --cd and
# --cd's false overrules (samples where a smaller group overruled three or more agreeing copies
# that held the genuine value).
declare -A sum
add() { sum[$1]=$(( ${sum[$1]:-0} + $2 )); }

# row SET KIND CHANNELS DAMAGE COPY...: one line of the table.
row() {
  local set=$1 kind=$2 ch=$3 damage=$4 n group bound byte a cd overruled ratio mark=""
  shift 4
  n=$#
  bound=$("$AE" bound "$work/original.wav" "$@")
  byte=$(wrong "$work/original.wav" "" "$@")
  a=$(wrong "$work/original.wav" -a "$@")
  cd=$(wrong "$work/original.wav" --cd "$@")
  overruled=$("$AE" overrules "$work/original.wav" "$work/out.wav" "$@")
  ratio=$(awk -v c="$cd" -v b="$byte" 'BEGIN { printf "%.2f", b ? c / b : 0 }')
  if [ "$cd" -gt "$byte" ]; then
    mark="  missed"
    status=1
  fi
  if [ "$n" -ge 5 ]; then group=5+; else group=3; fi
  for d in "$damage" all; do
    add "$d $group bound" "$bound"; add "$d $group byte" "$byte"; add "$d $group cd" "$cd"; add "$d $group false" "$overruled"
  done
  printf '%-6s %-7s %-7s %-8s %6s %8s %10s %10s %10s %8s %6s%s\n' "$set" "$kind" \
    "$([ "$ch" = 1 ] && echo mono || echo stereo)" "$damage" "$n" "$bound" "$byte" "$a" "$cd" "$ratio" "$overruled" "$mark"
}

# summary SET LABEL BOUND BYTE CD GOAL: one line of sums; fails the run when cd > GOAL x byte.
summary() {
  local verdict
  verdict=$(awk -v c="$5" -v b="$4" -v g="$6" 'BEGIN { print (c <= g * b ? "met" : "missed") }')
  [ "$verdict" = met ] || status=1
  printf '%-6s %-32s bound %8s  byte vote %8s  --cd %8s  cd/byte %5s (goal <= %s: %s)\n' "$1" "$2" "$3" "$4" "$5" \
    "$(awk -v c="$5" -v b="$4" 'BEGIN { printf "%.3f", b ? c / b : 0 }')" "$6" "$verdict"
}

# by_damage SET: the set's sums per damage kind and copies.
by_damage() {
  local group d
  printf '%-6s %-8s %-6s %8s %10s %8s %8s\n' set damage copies bound "byte vote" "--cd" false
  for group in 3 5+; do
    [ -n "${sum[all $group byte]:-}" ] || continue
    for d in $DAMAGE all; do
      printf '%-6s %-8s %-6s %8s %10s %8s %8s\n' "$1" "$d" "$([ $group = 3 ] && echo 3 || echo 5+7)" \
        "${sum[$d $group bound]}" "${sum[$d $group byte]}" "${sum[$d $group cd]}" "${sum[$d $group false]}"
    done
  done
}

status=0
printf '%-6s %-7s %-7s %-8s %6s %8s %10s %10s %10s %8s %6s\n' set kind audio damage copies bound "byte vote" "-a" "--cd" "cd/byte" false
for set in $SETS; do
  sum=()
  eval_rows "$set" row
  [ -z "${sum[all 5+ byte]:-}" ] ||
    summary "$set" "sum over 5 and more copies:" "${sum[all 5+ bound]}" "${sum[all 5+ byte]}" "${sum[all 5+ cd]}" 0.05
  [ -z "${sum[all 3 byte]:-}" ] ||
    summary "$set" "sum over 3 copies:" "${sum[all 3 bound]}" "${sum[all 3 byte]}" "${sum[all 3 cd]}" 0.1
  by_damage "$set"
done

if [ "${AUDIO_TIME:-0}" = 1 ]; then
  # About 50 MB: five minutes of stereo music, five copies.
  "$AE" music "$work/long.wav" 2 300 5
  copies=()
  for ((i = 1; i <= 5; i++)); do copies+=("$work/long$i.wav"); done
  "$AE" damage mix 99 "$work/long.wav" "${copies[@]}"
  echo
  echo "processor time (user + system), median of $RUNS runs, 5 copies of $(du -m "$work/long.wav" | cut -f1) MB:"
  for switch in -a --cd; do
    times=()
    for ((r = 0; r < RUNS; r++)); do
      t=$( { TIMEFORMAT='%U %S'; time "$CV" "${copies[@]}" "$switch" -o "$work/out.wav" >/dev/null 2>&1; } 2>&1 )
      times+=("$(awk '{ print $1 + $2 }' <<<"$t")")
    done
    printf '  %-5s %s s\n' "$switch" "$(printf '%s\n' "${times[@]}" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')"
  done
fi
exit $status
