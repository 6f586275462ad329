#!/usr/bin/env bash
# Times copyvote against the I/O floor on data made in a temporary directory and prints one
# table of copyvote / floor ratios, then the word scan against memcmp.
#
#   bench/run.sh                      uses the binaries under build/
#   BUILD=build-x bench/run.sh        uses the binaries under build-x/
#
# Variables:
#   SIZE       MiB per copy of the large cases (default 256); "many copies" uses SIZE/16 MiB
#   RUNS       timed runs of each program per case; the minimum counts (default 7, plus a warm-up)
#   CASES      cases to run, from: clean sparse dense audio audio-cd many md5 sha256 (default:
#              all); audio-cd is the audio case voted with --cd, beside it with the byte vote
#   REF        a reference copyvote binary: in every case its standard output (less the timing
#              figures of the statistics lines), standard error, output file and exit status are
#              compared with the measured binary's; any difference fails the run
#   OUTPUT     existing (default): every counted run finds the previous run's output and replaces
#              it (the floor truncates it); new: the outputs are removed before every run, so each
#              run creates its output
#   BENCH_DIR  where the temporary directory is made (default: $TMPDIR, else /tmp). The data
#              are read from the page cache either way; a memory file system (BENCH_DIR=/dev/shm)
#              reads them at a higher cost per byte, which makes every ratio smaller
#
# Each case's data are written just before it and removed after it. Floor and copyvote run in
# turn (A B A B ...), so that a drift of the machine's speed touches both. A run's time is its
# processor time (user + system, from the system's accounting of the finished process): both
# programs are single-threaded and their data page-cached, so this is what the run costs, and
# unlike the wall-clock time it does not grow when other processes share the processors or when
# the outputs are written back to a disk. The wall-clock ratio is shown beside it.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${BUILD:-build}"
case "$BUILD" in /*) build="$BUILD" ;; *) build="$repo/$BUILD" ;; esac
SIZE="${SIZE:-256}"
RUNS="${RUNS:-7}"
CASES="${CASES:-clean sparse dense audio audio-cd many md5 sha256}"
REF="${REF:-}"
OUTPUT="${OUTPUT:-existing}"

copyvote="$build/copyvote"
io_floor="$build/bench/io_floor"
hash_floor="$build/bench/hash_floor"
gen="$build/bench/bench_gen"
timer="$build/bench/bench_time"
scan_bench="$build/bench/scan_bench"

die() { echo "bench: $*" >&2; exit 1; }
for bin in "$copyvote" "$io_floor" "$hash_floor" "$gen" "$timer"; do
  [ -x "$bin" ] || die "missing $bin (build it first: make bench, or cmake --build $BUILD)"
done
case "$SIZE" in '' | *[!0-9]*) die "SIZE must be a whole number of MiB" ;; esac
case "$RUNS" in '' | *[!0-9]* | 0) die "RUNS must be a positive whole number" ;; esac
[ "$SIZE" -ge 16 ] || die "SIZE must be at least 16 (MiB)"
[ -z "$REF" ] || [ -x "$REF" ] || die "REF=$REF is not an executable"
case "$OUTPUT" in existing | new) ;; *) die "OUTPUT must be existing or new" ;; esac

big=$((SIZE * 1048576))
many=$((SIZE / 16 * 1048576))

# The largest case holds five copies and two outputs.
need_kb=$((SIZE * 1024 * 7))
free_kb() { df -Pk "$1" 2>/dev/null | awk 'NR == 2 { print $4 }'; }
BENCH_DIR="${BENCH_DIR:-${TMPDIR:-/tmp}}"
tmp="$(mktemp -d "$BENCH_DIR/copyvote-bench.XXXXXX")"
trap 'rm -rf "$tmp"' EXIT
avail_kb="$(free_kb "$tmp")"
[ "$avail_kb" -ge "$need_kb" ] || die "$tmp has $((avail_kb / 1024)) MiB free, the cases need $((need_kb / 1024)) MiB"

# Appends "WALL USER SYS" of one run of "$@" to the file $TIMES; the run's output goes to files.
time_once() {
  "$timer" "$@" >"$tmp/stdout" 2>"$tmp/stderr" 3>>"$TIMES" || true
}

min_of() { sort -g | head -n 1; }

# The statistics lines carry timing figures that differ from run to run; blank them.
strip_timing() {
  sed -E -e 's/^CPU  :.*MHz   CPU TIME: *[0-9.]+ s   errors:/CPU  : MHz   CPU TIME: s   errors:/' \
    -e 's/^timer: *[0-9.]+ MHz       disk: *[0-9.]+ s   total : *[0-9.]+ s$/timer: MHz       disk: s   total : s/' "$1"
}

# Runs copyvote and the reference once on the case's files and fails on any difference.
compare_with_ref() {  # compare_with_ref NAME ARGS...
  local name="$1" status_a status_b
  shift
  status_a=0
  "$copyvote" "$@" -o "$tmp/out.a" >"$tmp/a.stdout" 2>"$tmp/a.stderr" || status_a=$?
  status_b=0
  "$REF" "$@" -o "$tmp/out.b" >"$tmp/b.stdout" 2>"$tmp/b.stderr" || status_b=$?
  sed -i "s#$tmp/out.a#OUT#g" "$tmp/a.stdout" "$tmp/a.stderr"
  sed -i "s#$tmp/out.b#OUT#g" "$tmp/b.stdout" "$tmp/b.stderr"
  [ "$status_a" = "$status_b" ] || die "$name: exit status $status_a, reference $status_b"
  cmp -s "$tmp/out.a" "$tmp/out.b" || die "$name: the output file differs from the reference's"
  cmp -s "$tmp/a.stderr" "$tmp/b.stderr" || die "$name: standard error differs from the reference's"
  cmp -s <(strip_timing "$tmp/a.stdout") <(strip_timing "$tmp/b.stdout") ||
    die "$name: standard output differs from the reference's"
  rm -f "$tmp/out.a" "$tmp/out.b" "$tmp"/[ab].std*
  echo "  $name: identical to the reference (stdout, stderr, output file, exit status)" >&2
}

rows=()
# measure NAME TARGET FLOOR_COMMAND... -- COPYVOTE_ARGS...
measure() {
  local name="$1" target="$2"
  shift 2
  local floor_cmd=()
  while [ "$1" != "--" ]; do floor_cmd+=("$1"); shift; done
  shift
  local args=("$@") r
  : >"$tmp/times.floor"
  : >"$tmp/times.cv"
  for r in $(seq 0 "$RUNS"); do  # run 0 is the warm-up
    [ "$OUTPUT" = existing ] || rm -f "$tmp/out.floor"
    TIMES="$tmp/times.floor" time_once "${floor_cmd[@]}"
    [ "$OUTPUT" = existing ] || rm -f "$tmp/out.cv"
    TIMES="$tmp/times.cv" time_once "$copyvote" "${args[@]}" -o "$tmp/out.cv"
  done
  # Minimum processor time and minimum wall-clock time of the counted runs.
  local fmin cmin fwall cwall
  fmin="$(tail -n +2 "$tmp/times.floor" | awk '{ print $2 + $3 }' | min_of)"
  cmin="$(tail -n +2 "$tmp/times.cv" | awk '{ print $2 + $3 }' | min_of)"
  fwall="$(tail -n +2 "$tmp/times.floor" | awk '{ print $1 }' | min_of)"
  cwall="$(tail -n +2 "$tmp/times.cv" | awk '{ print $1 }' | min_of)"
  [ -z "$REF" ] || compare_with_ref "$name" "${args[@]}"
  rows+=("$(awk -v n="$name" -v f="$fmin" -v c="$cmin" -v fw="$fwall" -v cw="$cwall" -v t="$target" 'BEGIN {
    r = c / f
    printf "| %-13s | %7.3f | %10.3f | %5.2f | <= %-4s | %-4s | %16.2f |", n, f, c, r, t, (r <= t ? "met" : "MISS"), cw / fw
  }')")
  echo "  $name: floor $fmin s, copyvote $cmin s (processor time)" >&2
  rm -f "$tmp/out.floor" "$tmp/out.cv" "$tmp/stdout" "$tmp/stderr" "$tmp"/times.*
}

copies() {  # copies PREFIX N: the names PREFIX1 .. PREFIXN
  local i
  for i in $(seq 1 "$2"); do echo "$1$i"; done
}

run_case() {
  local files
  case "$1" in
  clean)
    mapfile -t files < <(copies "$tmp/clean" 3)
    "$gen" bytes "$big" 0 11 "${files[@]}"
    measure "clean" 1.10 "$io_floor" "$tmp/out.floor" "${files[@]}" -- "${files[@]}"
    ;;
  sparse)
    mapfile -t files < <(copies "$tmp/sparse" 3)
    "$gen" bytes "$big" 0.001 12 "${files[@]}"
    measure "sparse damage" 1.25 "$io_floor" "$tmp/out.floor" "${files[@]}" -- "${files[@]}"
    ;;
  dense)
    mapfile -t files < <(copies "$tmp/dense" 3)
    "$gen" bytes "$big" 0.01 13 "${files[@]}"
    measure "dense damage" 2.0 "$io_floor" "$tmp/out.floor" "${files[@]}" -- "${files[@]}"
    ;;
  audio)
    mapfile -t files < <(copies "$tmp/audio" 5)
    "$gen" audio "$big" 0.001 14 "${files[@]}"
    measure "audio" 1.3 "$io_floor" "$tmp/out.floor" "${files[@]}" -- "${files[@]}" -a
    ;;
  audio-cd)
    # --cd against the byte vote on the audio case's data: the rule's cost lies only at the
    # disputed samples, so both ratios to the floor should stay close.
    mapfile -t files < <(copies "$tmp/audio" 5)
    "$gen" audio "$big" 0.001 14 "${files[@]}"
    measure "audio bytes" 1.3 "$io_floor" "$tmp/out.floor" "${files[@]}" -- "${files[@]}"
    measure "audio --cd" 1.43 "$io_floor" "$tmp/out.floor" "${files[@]}" -- "${files[@]}" --cd
    ;;
  many)
    mapfile -t files < <(copies "$tmp/many" 64)
    "$gen" bytes "$many" 0.001 15 "${files[@]}"
    measure "many copies" 1.15 "$io_floor" "$tmp/out.floor" "${files[@]}" -- "${files[@]}"
    ;;
  md5 | sha256)
    mapfile -t files < <(copies "$tmp/digest" 3)
    "$gen" bytes "$big" 0 16 "${files[@]}"
    measure "digest $1" 1.05 "$hash_floor" "$1" "$tmp/out.floor" "${files[@]}" -- "${files[@]}" "-$1"
    ;;
  *) die "unknown case $1" ;;
  esac
  rm -f "${files[@]}"
}

echo "bench: SIZE=$SIZE MiB per copy, RUNS=$RUNS, data in $tmp" >&2
for c in $CASES; do run_case "$c"; done

scan_rows=()
if [ -x "$scan_bench" ]; then
  # CPU time per iteration of each benchmark, from the CSV report.
  "$scan_bench" --benchmark_min_time=1 --benchmark_format=csv 2>/dev/null >"$tmp/scan.csv"
  for n in 3 5 64; do
    scan_rows+=("$(awk -F, -v n="$n" '
      $1 == "\"BM_WordScan/" n "\"" { scan = $4 }
      $1 == "\"BM_Memcmp/" n "\"" { cmp = $4 }
      END { r = cmp / scan; printf "| word scan, %2d copies        | %9.1f | %11.1f | %28.0f %% |", n, 2097152 * n / scan, 2097152 * n / cmp, 100 * r }
    ' "$tmp/scan.csv")")
  done
fi

echo
echo "Processor time (user + system) in seconds, minimum of $RUNS runs each; SIZE=$SIZE MiB per copy;"
fstype="$(findmnt -n -o FSTYPE -T "$tmp" 2>/dev/null | head -n 1)"
[ -n "$fstype" ] || fstype="$(stat -f -c %T "$tmp" 2>/dev/null || echo unknown)"
echo "data in $BENCH_DIR ($fstype); OUTPUT=$OUTPUT."
echo
echo "| case          | floor s | copyvote s | ratio | target  |      | wall-clock ratio |"
echo "|---------------|---------|------------|-------|---------|------|------------------|"
printf '%s\n' "${rows[@]}"
if [ "${#scan_rows[@]}" -gt 0 ]; then
  echo
  echo "| in-memory scan, 2 MiB blocks | scan GB/s | memcmp GB/s | scan / memcmp (target >= 80 %) |"
  echo "|------------------------------|-----------|-------------|--------------------------------|"
  printf '%s\n' "${scan_rows[@]}"
fi
