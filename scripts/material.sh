# Shell helpers that make the evaluation scripts' material (sourced by audio_eval.sh and
# repair_eval.sh). They need `work` (a scratch directory) and `LEN` (seconds) set.

# fit IN OUT CHANNELS: 16-bit 44.1 kHz with CHANNELS channels, looped to LEN seconds.
fit() {
  local len_in reps
  len_in=$(soxi -D "$1")
  reps=$(awk -v a="$len_in" -v b="$LEN" 'BEGIN { r = int(b / a); print (r < 1 ? 0 : r) }')
  sox -q -D -R "$1" -r 44100 -b 16 -e signed-integer -c "$3" "$2" repeat "$reps" trim 0 "$LEN"
}

# sounds SET OUT CHANNELS: the shipped sounds of one package, one after another (alsa-utils for
# the tune set, sound-theme-freedesktop for the check set).
sounds() {
  local files=()
  if [ "$1" = tune ]; then
    files=(/usr/share/sounds/alsa/*.wav)
  else
    files=(/usr/share/sounds/freedesktop/stereo/*.oga)
  fi
  local parts=() i=0
  for f in "${files[@]}"; do
    sox -q -D -R "$f" -r 44100 -b 16 -e signed-integer -c 2 "$work/part_$i.wav"
    parts+=("$work/part_$i.wav")
    i=$((i + 1))
  done
  sox -q -D -R "${parts[@]}" "$work/sounds_raw.wav"
  rm -f "${parts[@]}"
  fit "$work/sounds_raw.wav" "$2" "$3"
}
