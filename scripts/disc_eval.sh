#!/usr/bin/env bash
# Measures `copyvote --disc` on a whole disc ripped five times, as a collector keeps the rips:
# DISC_TRACKS tracks (default 10) over about DISC_SECONDS (default 1302, 21.7 minutes) cut from
# synthesized music, speech, shipped sounds and shipped music (scripts/disc_sources.sh); four
# rips tagged FLAC (`NN - Title.flac`), one `trackNN.cdda.wav`; each damaged as its drive damages
# (interpolating, holding, muting, garbage; bursts, misreads, samples that several drives fail
# at, each covering them its own way, a few places no rip holds right); rip 5 read by a drive DISC_OFFSET frames (default 420)
# later than the others; a response file with the disc's right v1 and v2 sums and a second
# pressing's (scripts/disc_material.cpp tells all).
#
# For each run (DISC_VARIANTS, default all of them):
#   taught        copyvote --disc rip1 ... rip5 -o out --accuraterip resp.bin --cd
#   align         the same with --align
#   noresp        the same without a response file
#   no-offset-rip the four rips without the offset one
#   lacking       rip1 lacking track DISC_LACKING (default 6)
#   decoded       every FLAC rip decoded to WAV by hand (flac -d), then --align --cd
#   wrong         the response file of wrong sums (none may verify)
#   shared        another disc whose rips all share a drive offset of DISC_SHARED_OFFSET frames
#                 (default 1000): the response file must find it
# it prints one row per track: the rips holding it, the bound (bytes no rip holds right, each rip
# placed back at its true offset), the wrong bytes of the output against the original (FLAC
# outputs decoded first), the verdict; then the sums over the disc, the tracks verified, false
# matches (verified but not the original), copyvote's exit status, its wall and processor time
# (children included), its summary line and what it said of read offsets and errors. Last, the time goal's reference: the processor time of `flac -d` on every
# FLAC rip plus `flac -5` of the restored disc (the original tracks stand for it), and the wall
# time the goal allows on 2 cores (1.2 x that / 2).
#
# Environment: BUILD (default build), CV (default $BUILD/copyvote), DISC_SECONDS, DISC_TRACKS,
# DISC_SEED (default 1), DISC_OFFSET, DISC_SHARED_OFFSET, DISC_LACKING, DISC_VARIANTS, DISC_WORK
# (a folder to keep the material, the outputs and copyvote's logs in; default a temporary one,
# removed at the end). Not part of `make test`.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-build}
case "$BUILD" in /*) ;; *) BUILD="$root/$BUILD" ;; esac
CV=${CV:-$BUILD/copyvote}
DM=$BUILD/disc_material
seconds=${DISC_SECONDS:-1302}
tracks=${DISC_TRACKS:-10}
seed=${DISC_SEED:-1}
offset=${DISC_OFFSET:-420}
shared=${DISC_SHARED_OFFSET:-1000}
lacking=${DISC_LACKING:-6}
variants=${DISC_VARIANTS:-taught align noresp no-offset-rip lacking decoded wrong shared}
for tool in "$CV" "$DM" "$BUILD/audio_eval" "$BUILD/align_material" sox espeak-ng flac; do
  command -v "$tool" >/dev/null || { echo "disc_eval: $tool missing (make disc-eval builds and installs all)" >&2; exit 2; }
done
ls /usr/share/games/asc/music/*.mp3 >/dev/null 2>&1 ||
  { echo "disc_eval: the music of asc-music is missing (make disc-eval installs it)" >&2; exit 2; }

if [ -n "${DISC_WORK:-}" ]; then
  work=$DISC_WORK
  mkdir -p "$work"
else
  work=$(mktemp -d "${TMPDIR:-/tmp}/disc_eval.XXXXXX")
  trap 'rm -rf "$work"' EXIT
fi
work=$(cd "$work" && pwd)

source "$root/scripts/disc_sources.sh"

# cpu_of CMD...: runs CMD and prints "wall user+sys" in seconds (children included).
cpu_of() {
  local t
  t=$( { TIMEFORMAT='%R %U %S'; time "$@" >/dev/null 2>&1; } 2>&1 )
  awk '{ printf "%.2f %.2f\n", $1, $2 + $3 }' <<<"$t"
}

echo "disc_eval: making the sources and the disc in $work"
mapfile -t sources < <(disc_sources 150 shipped-music)
make_disc() {  # make_disc DIR [disc_material options...]
  local dir=$1
  shift
  rm -rf "$dir"
  "$DM" make --tracks "$tracks" --seconds "$seconds" --seed "$seed" --offset "$offset" "$@" "$dir" "${sources[@]}"
}
make_disc "$work/disc"
grep -E '^(accuraterip_id|rip)' "$work/disc/disc.txt" | sed 's/^/  /'

# The rip folders of a track: how many of the given folders hold a file of track N.
rips_holding() {
  local n=$1 count=0 nn dir f
  shift
  nn=$(printf '%02d' "$n")
  for dir in "$@"; do
    for f in "$dir/$nn - "* "$dir/track$nn."*; do
      if [ -e "$f" ]; then count=$((count + 1)); break; fi
    done
  done
  echo "$count"
}

# The output file of track N in OUT, or nothing.
output_of() {
  local nn f
  nn=$(printf '%02d' "$1")
  for f in "$2/$nn - "* "$2/track$nn."*; do
    [ -e "$f" ] && { echo "$f"; return; }
  done
  return 0
}

# wrong_bytes ORIGINAL OUTPUT: FLAC decoded first; a missing output is wrong everywhere.
wrong_bytes() {
  if [ -z "$2" ]; then
    echo $(( $(stat -c %s "$1") - 44 ))
    return
  fi
  local wav=$2
  if [ "$(head -c 4 "$2")" = fLaC ]; then
    wav="$work/decoded-output.wav"
    flac -d -s -f -o "$wav" "$2"
  fi
  "$DM" score "$1" "$wav"
}

# The verdict of track N in copyvote's table.
verdict_of() {
  sed -nE "s#^ *$1/[0-9]+ +[0-9]+ +(-|[0-9]+) +(-|[0-9]+) +(verified \(confidence [0-9]+\)|not verified|left out|failed|no response file|restored).*#\3#p" "$2" |
    sed 's/ (confidence \([0-9]*\))/ (c\1)/' | head -n 1
}

summary_rows=()
# run_variant NAME DISC BOUND_RULE RIPDIRS -- SWITCHES: BOUND_RULE is "all", "without:R" or
# "lacking:R:T" (rip R lacks track T).
run_variant() {
  local name=$1 disc=$2 rule=$3
  shift 3
  local dirs=()
  while [ "$1" != -- ]; do dirs+=("$1"); shift; done
  shift
  local out="$work/out-$name" log="$work/log-$name.txt"
  rm -rf "$out"
  local t status
  t=$( { TIMEFORMAT='%R %U %S'; time "$CV" --disc "${dirs[@]}" -o "$out" "$@" >"$log" 2>&1 || echo "status $?" >>"$log"; } 2>&1 )
  status=$(sed -n 's/^status \([0-9]*\)$/\1/p' "$log" | tail -n 1)
  status=${status:-0}
  local wall cpu
  read -r wall cpu < <(awk '{ printf "%.1f %.1f\n", $1, $2 + $3 }' <<<"$t")
  echo
  echo "== $name: copyvote --disc $(for d in "${dirs[@]}"; do printf '%s ' "${d#"$work"/}"; done)-o out $*"
  printf '%5s %5s %8s %8s  %s\n' track rips bound wrong verdict
  local sum_bound=0 sum_wrong=0 verified=0 false_matches=0
  local line n bound r
  # tracks.tsv: track first frames title flac_name wav_name arv1 arv2 bound bound_without_rip1...
  while IFS= read -r line; do
    n=$(cut -f 1 <<<"$line")
    [ "$n" = track ] && continue
    bound=$(cut -f 9 <<<"$line")
    case $rule in
      without:*) bound=$(cut -f $((9 + ${rule#without:})) <<<"$line") ;;
      lacking:*)
        r=${rule#lacking:}
        if [ "$n" = "${r#*:}" ]; then bound=$(cut -f $((9 + ${r%%:*})) <<<"$line"); fi ;;
    esac
    local o wrong verdict
    o=$(output_of "$n" "$out")
    wrong=$(wrong_bytes "$disc/original/$(printf '%02d' "$n").wav" "$o")
    verdict=$(verdict_of "$n" "$log")
    case $verdict in verified*) verified=$((verified + 1)); [ "$wrong" -eq 0 ] || false_matches=$((false_matches + 1)) ;; esac
    sum_bound=$((sum_bound + bound)) sum_wrong=$((sum_wrong + wrong))
    printf '%5s %5s %8s %8s  %s\n' "$n" "$(rips_holding "$n" "${dirs[@]}")" "$bound" "$wrong" "${verdict:-?}"
  done <"$disc/tracks.tsv"
  local ratio
  ratio=$(awk -v w="$sum_wrong" -v b="$sum_bound" 'BEGIN { if (b) printf "%.2f", w / b; else print (w ? "inf" : "0") }')
  printf '  disc: bound %s, wrong %s (%s x bound), %s/%s verified, %s false matches, exit %s, wall %s s, processor %s s\n' \
    "$sum_bound" "$sum_wrong" "$ratio" "$verified" "$tracks" "$false_matches" "$status" "$wall" "$cpu"
  # copyvote's summary line, then what it said of offsets and errors.
  { grep -E '^[0-9]+ tracks:' "$log" | cut -c 1-200; grep -E 'read offset|convincing|verified at offset|^copyvote: ' "$log" |
    head -n 8; } | sed 's/^/  | /' || true
  summary_rows+=("$(printf '%-14s %8s %8s %7s %8s %6s %5s %8s %9s' "$name" "$sum_bound" "$sum_wrong" "$ratio" \
    "$verified/$tracks" "$false_matches" "$status" "$wall" "$cpu")")
}

d=$work/disc
rips=("$d/rip1" "$d/rip2" "$d/rip3" "$d/rip4" "$d/rip5")
for v in $variants; do
  case $v in
    taught) run_variant taught "$d" all "${rips[@]}" -- --accuraterip "$d/resp.bin" --cd ;;
    align) run_variant align "$d" all "${rips[@]}" -- --accuraterip "$d/resp.bin" --cd --align ;;
    noresp) run_variant noresp "$d" all "${rips[@]}" -- --cd ;;
    no-offset-rip) run_variant no-offset-rip "$d" without:5 "${rips[@]:0:4}" -- --accuraterip "$d/resp.bin" --cd ;;
    lacking)
      # rip1 without one track: the others' files linked, not copied.
      rm -rf "$work/rip1-lacking" && mkdir "$work/rip1-lacking"
      for f in "$d/rip1/"*; do
        case $(basename "$f") in "$(printf '%02d' "$lacking") - "*) ;; *) ln "$f" "$work/rip1-lacking/" ;; esac
      done
      run_variant lacking "$d" "lacking:1:$lacking" "$work/rip1-lacking" "${rips[@]:1}" -- --accuraterip "$d/resp.bin" --cd ;;
    decoded)
      decoded=()
      for r in "${rips[@]}"; do
        dir="$work/decoded/$(basename "$r")"
        rm -rf "$dir" && mkdir -p "$dir"
        for f in "$r"/*; do
          case $f in
            *.flac) flac -d -s -f -o "$dir/$(basename "$f" .flac).wav" "$f" ;;
            *) ln "$f" "$dir/" ;;
          esac
        done
        decoded+=("$dir")
      done
      run_variant decoded "$d" all "${decoded[@]}" -- --accuraterip "$d/resp.bin" --cd --align ;;
    wrong) run_variant wrong "$d" all "${rips[@]}" -- --accuraterip "$d/wrong.bin" --cd ;;
    shared)
      make_disc "$work/shared" --drive-offset "$shared" >/dev/null
      s=$work/shared
      run_variant shared "$s" all "$s/rip1" "$s/rip2" "$s/rip3" "$s/rip4" "$s/rip5" -- --accuraterip "$s/resp.bin" --cd ;;
    *) echo "disc_eval: unknown variant $v" >&2; exit 2 ;;
  esac
done

# The time goal's reference, measured on the first disc.
flac_d=$( { for f in "$d"/rip*/*.flac; do printf '%s\n' "$f"; done; } | {
  total=0
  while read -r f; do
    c=$(cpu_of flac -d -s -c "$f" | cut -d' ' -f2)
    total=$(awk -v a="$total" -v b="$c" 'BEGIN { print a + b }')
  done
  echo "$total"
})
flac_5=0
for f in "$d"/original/*.wav; do
  c=$(cpu_of flac -5 -s -c "$f" | cut -d' ' -f2)
  flac_5=$(awk -v a="$flac_5" -v b="$c" 'BEGIN { print a + b }')
done

echo
echo "== summary ($(grep '^frames' "$d/disc.txt" | cut -f2) frames, $tracks tracks, rip5 $offset frames late)"
printf '%-14s %8s %8s %7s %8s %6s %5s %8s %9s\n' run bound wrong 'x bound' verified false exit 'wall s' 'cpu s'
printf '%s\n' "${summary_rows[@]}"
awk -v a="$flac_d" -v b="$flac_5" 'BEGIN {
  printf "time goal: flac -d of every FLAC rip %.1f s + flac -5 of the disc %.1f s = %.1f s of processor time;\n", a, b, a + b
  printf "           the disc may take at most 1.2 x %.1f / 2 = %.1f s of wall time\n", a + b, 0.6 * (a + b) }'
