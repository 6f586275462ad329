# The source recordings a disc is cut from (sourced by disc_eval.sh and examples.sh): synthesized
# music with quiet passages, fades and digital silence, speech from espeak-ng, the sounds that
# alsa-utils and sound-theme-freedesktop ship and, for disc_eval, the music that asc-music ships. Needs `work` (a scratch directory), BUILD's audio_eval and align_material, and the
# helpers of material.sh. Every file is 44.1 kHz 16-bit stereo WAV.

source "$(dirname "${BASH_SOURCE[0]}")/material.sh"

# disc_sources SECONDS [shipped-music]: makes the recordings in $work/src, each about SECONDS long,
# and prints their paths, one a line. With `shipped-music`, asc-music's pieces too (each its own
# length, up to four times SECONDS); without, the material does not depend on that package.
disc_sources() {
  local len=$1 src="$work/src"
  mkdir -p "$src"
  "$BUILD/audio_eval" music "$src/music-a.wav" 2 "$len" 11
  "$BUILD/audio_eval" music "$src/music-b.wav" 2 "$len" 29
  "$BUILD/align_material" synth "$src/notes.wav" "$len" 3
  espeak-ng -v en -s 150 -w "$src/speech_raw.wav" "Five rips of one disc, each read by another drive. \
Where a drive could not read the disc it guessed, and every drive guesses in its own way: one draws \
a line, one holds the last sample, one falls silent. Track after track, the copies disagree in a \
few places, and a vote puts them right."
  LEN=$len fit "$src/speech_raw.wav" "$src/speech.wav" 2
  LEN=$len sounds tune "$src/tune.wav" 2
  LEN=$len sounds check "$src/check.wav" 2
  rm -f "$src/speech_raw.wav" "$work/sounds_raw.wav"
  # Named one by one: a folder used before also holds the shipped pieces, which come last.
  local name
  for name in check music-a music-b notes speech tune; do echo "$src/$name.wav"; done
  [ "${2:-}" = shipped-music ] || return 0
  local mp3
  for mp3 in /usr/share/games/asc/music/*.mp3; do
    [ -f "$mp3" ] || continue
    local out="$src/shipped-$(basename "$mp3" .mp3).wav"
    sox -V1 -G -D -R "$mp3" -r 44100 -b 16 -e signed-integer -c 2 "$out" trim 0 $((4 * len))
    echo "$out"
  done
}
