#!/usr/bin/env bash
# Measures the repair guided by expected checksums as a user meets it: damaged copies of
# real-like audio whose vote comes out wrong at a few places, the checksums of the undamaged
# original given with --expect or in an AccurateRip response file, and copyvote's output
# compared byte for byte with the original. Prints one markdown table.
#
# Material: synthesized music (audio_eval music), speech from espeak-ng and the sounds that
# alsa-utils and sound-theme-freedesktop ship, 16-bit stereo 44.1 kHz. The "tune" set chose the
# damage's numbers, the "check" set is other music, other words and voice, other sounds.
# Copy sets (scripts/repair_eval.cpp tells the damage):
#   guess    3 copies, 1-3 samples where all three differ and one holds the truth
#   conceal  5 copies, 1-3 samples where two hold the concealment, one the truth
#   unreach  3 or 5 copies as above, but at one sample no copy holds the truth
#   crowd3   as guess, besides 200, 1000 or 3000 samples where all three differ and the vote is
#            right, and 2000 lone misreads
#   crowd5   as conceal, besides as many samples where two copies hold the truth, and 2000 lone
#            misreads
# Each set is checked with --expect crc32, --expect arv2, both, crc32 with the md5 of the audio,
# and a response file, as the first, a middle or the last track of a disc in turn (the wrong
# samples lie in the frames it counts).
#
# Environment: BUILD (default build), REPAIR_SECONDS (length of each recording, default 30),
# REPAIR_REPS (sets per material and kind, default 2), REPAIR_KEEP=DIR to keep the files of every
# case that went wrong there. Exit status 1 when a false match or another fault occurred.
set -euo pipefail

BUILD=${BUILD:-build}
CV=$BUILD/copyvote
RE=$BUILD/repair_eval
AE=$BUILD/audio_eval
LEN=${REPAIR_SECONDS:-30}
REPS=${REPAIR_REPS:-2}
for tool in "$CV" "$RE" "$AE" sox espeak-ng; do
  command -v "$tool" >/dev/null || { echo "repair_eval: $tool missing (make repair-eval builds and installs all)" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/repair_eval.XXXXXX")
trap 'rm -rf "$work"' EXIT

source "$(dirname "${BASH_SOURCE[0]}")/material.sh"

speech() {
  if [ "$1" = tune ]; then
    espeak-ng -v en -s 160 -w "$work/raw.wav" "A vote says what most copies hold, not that it is right.
When the sums of a good rip are known, the doubtful samples can be tried until the track matches.
Quiet now. Then louder again, and a long pause."
  else
    espeak-ng -v en-gb+m3 -s 140 -w "$work/raw.wav" "Track nine of twelve was read three times.
The checksum from the log says which reading is the right one, if any of them is.
Numbers: eleven, forty two, three hundred. Silence. The end."
  fi
  fit "$work/raw.wav" "$2" 2
}

# material SET KIND OUT
material() {
  case $2 in
    music) "$AE" music "$3" 2 "$LEN" "$([ "$1" = tune ] && echo 17 || echo 41)" ;;
    speech) speech "$1" "$3" ;;
    sounds) sounds "$1" "$3" 2 ;;
  esac
}

# cpu_run LOG CMD...: runs CMD with its output to LOG; sets rc and cpu (user + system seconds).
cpu_run() {
  local log=$1 t
  shift
  t=$( { TIMEFORMAT='%3U %3S'; time "$@" >"$log" 2>&1; } 2>&1 ) && rc=0 || rc=$?
  # `time` prints its line even when the command fails; take the last line.
  cpu=$(tail -n1 <<<"$t" | awk '{ print $1 + $2 }')
}

# expect_args VARIANT TRACK: the switches that give the original's checksums.
expect_args() {
  case $1 in
    crc32) echo "--expect crc32:$crc" ;;
    arv2) echo "--expect arv2:$v2" ;;
    both) echo "--expect crc32:$crc --expect arv2:$v2" ;;
    md5) echo "--expect crc32:$crc --expect md5:$md5" ;;
    response) echo "--accuraterip $work/response.bin" ;;
  esac
}

declare -A cases right repaired outofreach missed timed falsem faults times doubt
notes=()
faults_log=()
keep_case() {
  faults_log+=("$1")
  if [ -n "${REPAIR_KEEP:-}" ]; then
    local dir="$REPAIR_KEEP/case$((${#faults_log[@]}))"
    mkdir -p "$dir"
    cp "$work"/original.wav "$work"/plain.wav "$work"/out.wav "${copies[@]}" "$work"/response.bin "$work"/run.log "$dir"/ 2>/dev/null || true
    faults_log[-1]+=" (files in $dir)"
  fi
}

# count KEY... : one more in each of the named counters.
count() {
  local k
  for k in "$@"; do tally[$k]=$((${tally[$k]:-0} + 1)); done
}
declare -A tally

# chance_bound VARIANT: the most combinations the manual page allows: one in a million of the
# values of the checked bits, per value that may match (with a response file each of its two
# sums as v2, and as v1 only where a combination reaches enough of v1's bits).
chance_bound() {
  case $1 in
    both) echo 18446744073709 ;;  # CRC32 and AccurateRip: 64 bits
    response) echo 2147 ;;
    *) echo 4294 ;;
  esac
}

# judge ROW VARIANT NAME SWITCHES...: one run with an expectation, scored. Counted per row and
# expectation, and per material set.
judge() {
  local kind=$1 variant=$2 name=$3 plain_cpu=$4 reach row="$1|$2" model=$2
  shift 4
  # A response file holds the original's v1 for an even seed, its v2 for an odd one.
  [ "$variant" = response ] && model=response$((seed % 2 == 0 ? 1 : 2))
  read -r _ nd reach < <("$RE" inspect "$model" "$track" "$work/original.wav" "$work/plain.wav" "${copies[@]}")
  rm -f "$work/out.wav"
  cpu_run "$work/run.log" "$CV" "${copies[@]}" --track "$track" "$@" -o "$work/out.wav"
  cases[$row]=$((${cases[$row]:-0} + 1))
  count "$set|cases"
  doubt[$row]="${doubt[$row]:-} $nd"
  local what="$name, $variant, track $track: copyvote ${copies[*]##*/} --track $track $* -o out.wav"
  if [ "$rc" -eq 0 ] && cmp -s "$work/out.wav" "$work/original.wav"; then
    if cmp -s "$work/plain.wav" "$work/original.wav"; then right[$row]=$((${right[$row]:-0} + 1)); count "$set|right"
    else repaired[$row]=$((${repaired[$row]:-0} + 1)); count "$set|repaired"; fi
    times[$row]="${times[$row]:-} $(awk -v a="$cpu" -v b="$plain_cpu" 'BEGIN { d = a - b; print (d > 0 ? d : 0) }')"
  elif [ "$rc" -eq 0 ]; then
    falsem[$row]=$((${falsem[$row]:-0} + 1))
    count "$set|false"
    keep_case "FALSE MATCH: $what"
  elif [ "$rc" -eq 1 ] && [ -f "$work/out.wav" ] && cmp -s "$work/out.wav" "$work/plain.wav" && grep -q "not verified" "$work/run.log"; then
    outofreach[$row]=$((${outofreach[$row]:-0} + 1))
    count "$set|out"
    times[$row]="${times[$row]:-} $(awk -v a="$cpu" -v b="$plain_cpu" 'BEGIN { d = a - b; print (d > 0 ? d : 0) }')"
    if [ "$reach" = yes ]; then
      # Far fewer combinations tried than the chance bound allows: the search's time limit
      # stopped it, which the run does not count against the program.
      local tried
      tried=$(grep -o '([0-9]* tried' "$work/run.log" | tr -dc 0-9)
      if [ -n "$tried" ] && awk -v t="$tried" -v b="$(chance_bound "$variant")" 'BEGIN { exit !(t < b / 4) }'; then
        timed[$row]=$((${timed[$row]:-0} + 1))
        notes+=("stopped by the time limit after $tried combinations: $what")
      else
        missed[$row]=$((${missed[$row]:-0} + 1))
        count "$set|fault"
        keep_case "not repaired though in reach: $what"
      fi
    fi
  else
    faults[$row]=$((${faults[$row]:-0} + 1))
    count "$set|fault"
    keep_case "exit $rc, output $(cmp -s "$work/out.wav" "$work/plain.wav" && echo "the plain vote" || echo "changed"): $what"
  fi
}

# Median and largest of a list of numbers, as "0.01 / 0.03".
median_max() {
  tr ' ' '\n' <<<"$1" | sort -g | awk 'NF { v[++n] = $1 } END { if (!n) { print "-"; exit } printf "%.2f / %.2f", v[int((n + 1) / 2)], v[n] }'
}

median_of() {
  tr ' ' '\n' <<<"$1" | sort -g | awk 'NF { v[++n] = $1 } END { if (!n) { print "-"; exit } print v[int((n + 1) / 2)] }'
}

positions=(1/12 5/12 12/12)
crowds=(200 1000 3000)
seed=1
n=0
for set in tune check; do
  for kind in music speech sounds; do
    material "$set" "$kind" "$work/original.wav"
    for ((rep = 0; rep < REPS; rep++)); do
      for dkind in guess conceal unreach crowd3 crowd5; do
        ncopies=3
        case $dkind in conceal | crowd5) ncopies=5 ;; unreach) ncopies=$((n % 2 ? 5 : 3)) ;; esac
        track=${positions[$((n % 3))]}
        wrong=$((1 + (seed + rep) % 3))
        damage_kind=$dkind
        case $dkind in crowd*) damage_kind="crowd${crowds[$(((n / 3) % 3))]}" ;; esac
        copies=()
        rm -f "$work"/copy*.wav
        for ((i = 1; i <= ncopies; i++)); do copies+=("$work/copy$i.wav"); done
        "$RE" damage "$damage_kind" "$seed" "$wrong" "$track" "$work/original.wav" "${copies[@]}"
        read -r crc v1 v2 data_at data_bytes < <("$RE" sums "$work/original.wav" "$track")
        md5=$(tail -c +$((data_at + 1)) "$work/original.wav" | head -c "$data_bytes" | md5sum | cut -d' ' -f1)
        "$RE" response "$work/response.bin" "$track" "$([ $((seed % 2)) = 0 ] && echo "$v1" || echo "$v2")"
        # The plain vote, with the sums printed: they must be those of its output.
        cpu_run "$work/plain.log" "$CV" "${copies[@]}" --track "$track" --ar -o "$work/plain.wav"
        plain_cpu=$cpu
        read -r pc p1 p2 _ < <("$RE" sums "$work/plain.wav" "$track")
        if [ "$rc" -ne 0 ] || ! grep -q "AccurateRip v1 $p1 v2 $p2, CRC32 $pc" "$work/plain.log"; then
          faults_log+=("plain vote: exit $rc or sums other than v1 $p1 v2 $p2 CRC32 $pc: $set $kind $damage_kind seed $seed")
        fi
        for variant in crc32 arv2 both md5 response; do
          # shellcheck disable=SC2046 # the switches are words without spaces
          judge "$dkind" "$variant" "$set $kind $damage_kind seed $seed wrong $wrong" "$plain_cpu" $(expect_args "$variant")
        done
        seed=$((seed + 1))
        n=$((n + 1))
      done
    done
  done
done

echo "| copies | expected | cases | vote right | repaired | out of reach | of which stopped by time | of which missed | false matches | faults | doubtful frames (median) | search s (median / max) |"
echo "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|"
for dkind in guess conceal unreach crowd3 crowd5; do
  for variant in crc32 arv2 both md5 response; do
    r="$dkind|$variant"
    printf '| %s | %s | %d | %d | %d | %d | %d | %d | %d | %d | %s | %s |\n' "$dkind" "$variant" "${cases[$r]:-0}" \
      "${right[$r]:-0}" "${repaired[$r]:-0}" "${outofreach[$r]:-0}" "${timed[$r]:-0}" "${missed[$r]:-0}" "${falsem[$r]:-0}" \
      "${faults[$r]:-0}" "$(median_of "${doubt[$r]:-}")" "$(median_max "${times[$r]:-}")"
  done
done
echo
for set in tune check; do
  echo "$set: ${tally[$set|cases]:-0} cases, ${tally[$set|right]:-0} vote right, ${tally[$set|repaired]:-0} repaired," \
    "${tally[$set|out]:-0} out of reach, ${tally[$set|false]:-0} false matches, ${tally[$set|fault]:-0} faults"
done
if [ "${#notes[@]}" -gt 0 ]; then
  echo
  printf '%s\n' "${notes[@]}"
fi
status=0
if [ "${#faults_log[@]}" -gt 0 ]; then
  echo
  printf '%s\n' "${faults_log[@]}"
  status=1
fi
exit $status
