#!/usr/bin/env bash
# Makes the weights of the --cd model again (`make cd-fit`): votes the tune set of `make
# audio-eval` with scripts/cd_fit.cpp's dump, writes every scored run's features to
# $BUILD/cd-fit/, fits the model as app/vote/cd/model.h says and rewrites
# app/vote/cd/cd_weights.h. The material, the seeds and the fit are fixed, so that every run
# writes the same header; rebuild copyvote afterwards to vote with it.
#
# Environment: BUILD (default build). The recordings are always the tune rows of audio_eval.sh
# at its default length: the model is fitted on exactly what `make audio-eval` measures.
# CD_FIT_CHECK=1 also dumps the check set's rows (into $BUILD/cd-check) and replays the new
# weights on them (`cd_fit check`): the check set's table per damage kind, in seconds rather than
# the minutes of `make audio-eval`.
set -euo pipefail
export LC_ALL=C

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD=${BUILD:-build}
case "$BUILD" in /*) ;; *) BUILD="$repo/$BUILD" ;; esac
AE=$BUILD/audio_eval
FIT=$BUILD/cd_fit
LEN=30
MATERIAL="music speech sounds"
DAMAGE="samples interp hold mute mix silence header"
COPIES="3 5 7"
for tool in "$AE" "$FIT" sox espeak-ng; do
  command -v "$tool" >/dev/null || { echo "cd_fit: $tool missing (make cd-fit builds and installs all)" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/cd_fit.XXXXXX")
trap 'rm -rf "$work"' EXIT
dumps=$BUILD/cd-fit
rm -rf "$dumps"
mkdir -p "$dumps"

source "$repo/scripts/material.sh"

rows=0
# dump SET KIND CHANNELS DAMAGE COPY...: the scored runs of one row, into $into.
dump() {
  local kind=$2 ch=$3 damage=$4
  shift 4
  rows=$((rows + 1))
  "$FIT" dump "$work/original.wav" "$(printf '%s/%03d-%s-%s-%s-%s.dump' "$into" "$rows" "$kind" "$ch" "$damage" $#)" "$@"
}

into=$dumps
eval_rows tune dump
echo "cd_fit: $rows rows dumped into $dumps"
"$FIT" fit "$repo/app/vote/cd/cd_weights.h" "$dumps"/*.dump
if [ "${CD_FIT_CHECK:-0}" = 1 ]; then
  into=$BUILD/cd-check
  rm -rf "$into"
  mkdir -p "$into"
  rows=0
  eval_rows check dump
  echo "cd_fit: the check set ($rows rows, dumped into $into) with the new weights:"
  "$FIT" check "$repo/app/vote/cd/cd_weights.h" "$into"/*.dump
fi
