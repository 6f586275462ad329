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

# The rows of `make audio-eval` (audio_eval.sh) and `make cd-fit` (cd_fit.sh), made in one place so
# that the model is fitted on exactly the material that measures it. They need `AE` (the
# audio_eval program) besides `work` and `LEN`.

# eval_speech SET OUT CHANNELS: the words of the tune or the check set, spoken by espeak-ng.
eval_speech() {
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

# eval_material SET KIND CHANNELS OUT
eval_material() {
  case $2 in
    music) "$AE" music "$4" "$3" "$LEN" "$([ "$1" = tune ] && echo 11 || echo 29)" ;;
    speech) eval_speech "$1" "$4" "$3" ;;
    sounds) sounds "$1" "$4" "$3" ;;
  esac
}

# eval_rows SET ROW: makes every row of one set and calls ROW SET KIND CHANNELS DAMAGE COPY...
# for each, the undamaged recording being $work/original.wav. The rows are the recordings of
# MATERIAL (music speech sounds) in mono and stereo, each with every kind of DAMAGE and every
# number of COPIES, in that order; the check set's damage comes from seeds the tune set never sees.
eval_rows() {
  local set=$1 row=$2 seed kind ch damage n i copies
  if [ "$set" = tune ]; then seed=1; else seed=5001; fi
  for kind in $MATERIAL; do
    for ch in 1 2; do
      eval_material "$set" "$kind" "$ch" "$work/original.wav"
      for damage in $DAMAGE; do
        for n in $COPIES; do
          copies=()
          for ((i = 1; i <= n; i++)); do copies+=("$work/copy$i.wav"); done
          "$AE" damage "$damage" "$seed" "$work/original.wav" "${copies[@]}"
          seed=$((seed + 1))
          "$row" "$set" "$kind" "$ch" "$damage" "${copies[@]}"
        done
      done
    done
  done
}
