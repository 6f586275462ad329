#!/usr/bin/env bash
# `make examples`: the material that the README's and the man page's example commands use, made
# in a folder the user keeps (EXAMPLES_DIR, default ./examples), so that those commands run as
# typed from inside it:
#   track.wav, rip1.wav ... rip5.wav   a 30-second track of synthesized music and five rips of it,
#                                      each damaged as a scratched disc reads (demo_audio damage)
#   rips/                              the same five rips (links), for a pattern such as 'rips/*.wav'
#   bytes/rip1.wav ... rip4.wav        four copies of track.wav with a few bad bytes each, placed so
#                                      that three copies must guess (the README's first run)
#   tone/rip1.wav ... rip3.wav         a 3-second tone, three copies of it that all differ at three
#                                      samples (one holds the right value), and tone/crc32.txt
#   align/rip1.wav ... rip5.wav        five rips of the track read with other drive offsets
#                                      (+667, -1, -300, +2999 frames for rips 2 to 5)
#   original.img, read1.img ... read3.img  a disc image and three damaged reads of it
#   rip1/ ... rip5/                    a 12-track disc (about 2 minutes) ripped five times: tagged
#                                      FLAC `NN - Title.flac` in rip1, rip3, rip4 and rip5,
#                                      `trackNN.cdda.wav` in rip2; rip4 lacks track 3; rip5's drive
#                                      reads 420 frames later than the others
#   original/                          that disc's tracks as pressed
#   resp.bin, dBAR-012-....bin         its response file (the right v1 and v2 sums and a second
#                                      pressing's), under a short name and the name rippers fetch
#   wrong.bin                          a response file whose sums match nothing
#   disc.txt, tracks.tsv               the disc ids, the rips' formats and offsets, the tracks
# Files of these names are replaced; anything else in the folder (outputs of earlier runs) stays.
#
# Environment: BUILD (default build), EXAMPLES_DIR, EXAMPLES_SEED (default 1).
set -euo pipefail
trap 'echo "examples: failed at line $LINENO" >&2' ERR

root=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-build}
case "$BUILD" in /*) ;; *) BUILD="$root/$BUILD" ;; esac
dir=${EXAMPLES_DIR:-examples}
seed=${EXAMPLES_SEED:-1}
for tool in "$BUILD/disc_material" "$BUILD/demo_audio" "$BUILD/audio_eval" "$BUILD/align_material" sox espeak-ng flac; do
  command -v "$tool" >/dev/null || { echo "examples: $tool missing (make examples builds and installs all)" >&2; exit 2; }
done

mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
# Made aside first, then moved into place, so that a failure leaves the old examples whole.
work=$(mktemp -d "$dir/.examples.XXXXXX")
trap 'rm -rf "$work"' EXIT
new=$work/new
mkdir "$new"

source "$root/scripts/disc_sources.sh"

# One track and its rips.
"$BUILD/audio_eval" music "$new/track.wav" 2 30 "$((seed + 40))"
"$BUILD/demo_audio" damage --seed "$seed" "$new/track.wav" "$new/rip1.wav" "$new/rip2.wav" "$new/rip3.wav" \
  "$new/rip4.wav" "$new/rip5.wav" >/dev/null
mkdir "$new/rips"
for k in 1 2 3 4 5; do ln -s "../rip$k.wav" "$new/rips/rip$k.wav"; done

# Bad bytes by hand: flip COUNT bytes of FILE from OFFSET with the mask XOR.
flip() {
  local file=$1 offset=$2 count=$3 xor=$4 i value
  for ((i = offset; i < offset + count; i++)); do
    value=$(od -An -tu1 -j "$i" -N1 "$file" | tr -d ' ')
    printf %b "\\0$(printf %03o $((value ^ xor)))" | dd of="$file" bs=1 seek="$i" conv=notrunc status=none
  done
}

# Four copies of the track: rip1 with 6 bad bytes at 100000, rip2 with 4 at 100003 (three of them
# on rip1's, other values), rip3 with 2 in the second 2 MiB block, rip4 with 1 in the third.
mkdir "$new/bytes"
for k in 1 2 3 4; do cp "$new/track.wav" "$new/bytes/rip$k.wav"; done
flip "$new/bytes/rip1.wav" 100000 6 85
flip "$new/bytes/rip2.wav" 100003 4 170
flip "$new/bytes/rip3.wav" 3000000 2 85
flip "$new/bytes/rip4.wav" 5000000 1 85

# A 3-second tone whose three copies all differ at three samples (00:00.232, 00:01.139, 00:02.273),
# where rip3 holds the right value: the vote has to guess, and takes rip1's.
mkdir "$new/tone"
sox -D -R -n -r 44100 -c 2 -b 16 "$work/tone.wav" synth 3 sine 441 sine 660 vol 0.5
for k in 1 2 3; do cp "$work/tone.wav" "$new/tone/rip$k.wav"; done
for frame in 10232 50230 100240; do
  flip "$new/tone/rip1.wav" $((44 + 4 * frame)) 1 1
  flip "$new/tone/rip2.wav" $((44 + 4 * frame)) 1 2
done
# The CRC32 of its audio (what a ripper's log of a good rip gives): gzip's trailer holds it.
tail -c +45 "$work/tone.wav" | gzip -c | tail -c 8 | od -An -tx4 -N4 | tr -d ' ' >"$new/tone/crc32.txt"

# The same track read with other offsets (bytes: 4 a frame).
mkdir "$new/align"
"$BUILD/demo_audio" damage --seed "$((seed + 1))" "$new/track.wav" "$work/a1.wav" "$work/a2.wav" "$work/a3.wav" \
  "$work/a4.wav" "$work/a5.wav" >/dev/null
cp "$work/a1.wav" "$new/align/rip1.wav"
shifts=(2668 -4 -1200 11996)
for k in 0 1 2 3; do
  "$BUILD/align_material" shift "${shifts[$k]}" "$work/a$((k + 2)).wav" "$new/align/rip$((k + 2)).wav"
done

# A disc image of six MiB (the track's file, then zeros), read three times.
cp "$new/track.wav" "$new/original.img"
truncate -s 6291456 "$new/original.img"
"$BUILD/disc_material" bytes "$seed" "$new/original.img" "$new/read1.img" "$new/read2.img" "$new/read3.img"

# The disc.
mapfile -t sources < <(disc_sources 30)
"$BUILD/disc_material" make --tracks 12 --seconds 110 --seed "$seed" --missing 4:3 "$work/disc" "${sources[@]}"
mv "$work/disc/"* "$new/"

# Into place: the names made here replace their old selves.
names=()
for f in "$new"/* ; do names+=("$(basename "$f")"); done
for name in "${names[@]}"; do
  rm -rf "${dir:?}/$name"
  mv "$new/$name" "$dir/$name"
done

response=$(sed -n 's/^response_file_name\t//p' "$dir/disc.txt")
ids=$(sed -n 's/^accuraterip_id\t//p' "$dir/disc.txt")
t3=$(awk -F'\t' '$1 == 3 { print $5 }' "$dir/tracks.tsv")
cat <<EOF
examples: made in $dir
  track.wav, rip1.wav ... rip5.wav   a 30-second track and five damaged rips of it (rips/: the same)
  bytes/rip1.wav ... rip4.wav        copies of it with a few bad bytes placed by hand
  tone/rip1.wav ... rip3.wav         a 3-second tone's copies that differ at 3 samples (crc32.txt: its CRC32)
  align/rip1.wav ... rip5.wav        rips of it read with other offsets (+667, -1, -300, +2999 frames)
  original.img, read1.img ... read3.img  a 6 MiB disc image and three damaged reads of it
  rip1/ ... rip5/                    a 12-track disc ripped five times (FLAC, rip2 WAV; rip4 lacks
                                     track 3; rip5 read 420 frames late), original/ its tracks
  resp.bin = $response
                                     its response file (disc ids $ids); wrong.bin matches nothing

Try, inside $dir, with copyvote on your PATH (make install, or export PATH="$BUILD:\$PATH"):
  copyvote rip1.wav rip2.wav rip3.wav rip4.wav rip5.wav -md5 -o best.wav
  copyvote rip1.wav rip2.wav rip3.wav rip4.wav rip5.wav --cd -o best.wav --map best.tsv
  copyvote 'rips/*.wav' -a -b
  copyvote read1.img read2.img read3.img -o disc.img -sha256
  copyvote align/rip1.wav align/rip2.wav align/rip3.wav align/rip4.wav align/rip5.wav --align -o aligned.wav
  copyvote --cd --track 3/12 --accuraterip $response \\
           "rip1/$t3" "rip2/track03.cdda.wav" "rip3/$t3" -o "$t3"
  copyvote --disc rip1 rip2 rip3 rip4 rip5 -o restored --cd --accuraterip resp.bin
  cmp track.wav best.wav; cmp original/01.wav ...   (the originals, to compare with)
EOF
