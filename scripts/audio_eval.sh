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
# The "bound" column counts the bytes that no copy holds right: no vote can leave fewer.
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

# speech SET OUT CHANNELS
speech() {
  local text voice
  if [ "$1" = tune ]; then
    voice=en
    text="The copies of a scratched disc each carry their own errors. Where a drive cannot read a
sample it guesses one from its neighbours, and when several copies guess at the same place the
guess outvotes the truth. Quiet words, loud words, and pauses in between."
  else
    voice=en-us+f3
    text="Seven readings of the same track were made on two different drives. Some of them agree,
some of them do not, and a few of them hide their mistakes behind a smooth average. Listen: one,
two, three, four, five. Silence now. And then the speaker goes on talking about the weather."
  fi
  espeak-ng -v "$voice" -s 150 -w "$work/speech_raw.wav" "$text"
  fit "$work/speech_raw.wav" "$2" "$3"
}

# material SET KIND CHANNELS OUT
material() {
  case $2 in
    music) "$AE" music "$4" "$3" "$LEN" "$([ "$1" = tune ] && echo 11 || echo 29)" ;;
    speech) speech "$1" "$4" "$3" ;;
    sounds) sounds "$1" "$4" "$3" ;;
  esac
}

# wrong ORIGINAL SWITCH COPIES...: wrong bytes of copyvote's output with SWITCH ("" for none).
wrong() {
  local original=$1 switch=$2
  shift 2
  "$CV" "$@" ${switch:+"$switch"} -o "$work/out.wav" >/dev/null 2>&1 || { echo "audio_eval: copyvote failed" >&2; exit 2; }
  "$AE" score "$original" "$work/out.wav"
}

status=0
printf '%-6s %-7s %-7s %-8s %6s %8s %10s %10s %10s %8s\n' set kind audio damage copies bound "byte vote" "-a" "--cd" "cd/byte"
for set in $SETS; do
  # The check set's damage comes from seeds the tune set never sees.
  if [ "$set" = tune ]; then seed=1; else seed=5001; fi
  sum_byte3=0 sum_cd3=0 sum_bound3=0 sum_byte5=0 sum_cd5=0 sum_bound5=0
  for kind in $MATERIAL; do
    for ch in 1 2; do
      material "$set" "$kind" "$ch" "$work/original.wav"
      for damage in $DAMAGE; do
        for n in $COPIES; do
          copies=()
          for ((i = 1; i <= n; i++)); do copies+=("$work/copy$i.wav"); done
          "$AE" damage "$damage" "$seed" "$work/original.wav" "${copies[@]}"
          seed=$((seed + 1))
          bound=$("$AE" bound "$work/original.wav" "${copies[@]}")
          byte=$(wrong "$work/original.wav" "" "${copies[@]}")
          a=$(wrong "$work/original.wav" -a "${copies[@]}")
          cd=$(wrong "$work/original.wav" --cd "${copies[@]}")
          ratio=$(awk -v c="$cd" -v b="$byte" 'BEGIN { printf "%.2f", b ? c / b : 0 }')
          mark=""
          if [ "$cd" -gt "$byte" ]; then
            mark="  missed"
            status=1
          fi
          if [ "$n" -ge 5 ]; then
            sum_byte5=$((sum_byte5 + byte)) sum_cd5=$((sum_cd5 + cd)) sum_bound5=$((sum_bound5 + bound))
          else
            sum_byte3=$((sum_byte3 + byte)) sum_cd3=$((sum_cd3 + cd)) sum_bound3=$((sum_bound3 + bound))
          fi
          printf '%-6s %-7s %-7s %-8s %6s %8s %10s %10s %10s %8s%s\n' "$set" "$kind" \
            "$([ "$ch" = 1 ] && echo mono || echo stereo)" "$damage" "$n" "$bound" "$byte" "$a" "$cd" "$ratio" "$mark"
        done
      done
    done
  done
  # summary SET LABEL BOUND BYTE CD GOAL: one line of sums; fails the run when cd > GOAL x byte.
  summary() {
    local verdict
    verdict=$(awk -v c="$5" -v b="$4" -v g="$6" 'BEGIN { print (c <= g * b ? "met" : "missed") }')
    [ "$verdict" = met ] || status=1
    printf '%-6s %-32s bound %8s  byte vote %8s  --cd %8s  cd/byte %5s (goal <= %s: %s)\n' "$1" "$2" "$3" "$4" "$5" \
      "$(awk -v c="$5" -v b="$4" 'BEGIN { printf "%.3f", b ? c / b : 0 }')" "$6" "$verdict"
  }
  [ "$sum_byte5" -eq 0 ] || summary "$set" "sum over 5 and more copies:" "$sum_bound5" "$sum_byte5" "$sum_cd5" 0.05
  [ "$sum_byte3" -eq 0 ] || summary "$set" "sum over 3 copies:" "$sum_bound3" "$sum_byte3" "$sum_cd3" 0.1
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
