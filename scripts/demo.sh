#!/usr/bin/env bash
# The demo behind `make demo`: synthesizes a short WAV file, makes five copies of it damaged
# the way rips of a scratched CD are, restores them with copyvote twice (byte vote, then -a)
# and counts the bytes that still differ from the original.
#
# Environment: COPYVOTE and DEMO_AUDIO name the two programs (default: build/copyvote and
# build/demo_audio); DEMO_SEED picks different damage (default 2024).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
copyvote=${COPYVOTE:-$root/build/copyvote}
demo_audio=${DEMO_AUDIO:-$root/build/demo_audio}
seed=${DEMO_SEED:-2024}

absolute() { (cd "$(dirname "$1")" && printf '%s/%s\n' "$(pwd)" "$(basename "$1")"); }

for prog in "$copyvote" "$demo_audio"; do
    if [ ! -x "$prog" ]; then
        echo "demo: $prog is missing; build it first (make)" >&2
        exit 1
    fi
done
copyvote=$(absolute "$copyvote")
demo_audio=$(absolute "$demo_audio")

work=$(mktemp -d "${TMPDIR:-/tmp}/copyvote-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
cd "$work"

copies=(rip1.wav rip2.wav rip3.wav rip4.wav rip5.wav)
esc=$(printf '\033')

say() { printf '\n=== %s\n' "$*"; }

# Runs copyvote as a user would, but drops the screen-clearing sequence it writes first, so
# that the explanations above its output stay on the screen. Everything else is shown as is.
run_copyvote() {
    printf '\n$ copyvote %s\n' "$*"
    local status=0
    "$copyvote" "$@" | sed "s/${esc}\[H${esc}\[J//" || status=$?
    printf '(exit status %d)\n' "$status"
}

# Number of bytes in which two files of equal length differ.
bytes_differing() { { cmp -l "$1" "$2" || true; } | wc -l | tr -d ' '; }

say "Synthesizing 4 seconds of 16-bit 44.1 kHz stereo tones: original.wav"
"$demo_audio" synth original.wav 4
printf '%s: %s bytes (a 44-byte RIFF header, then interleaved left/right samples)\n' \
    original.wav "$(wc -c <original.wav | tr -d ' ')"

say "Ripping it five times from a scratched disc: ${copies[*]}"
"$demo_audio" damage --seed "$seed" original.wav "${copies[@]}"

say "Restoring by byte vote"
run_copyvote "${copies[@]}" -md5 -o restored.wav

say "Restoring by 16-bit sample vote with corrected-sample screening (-a)"
run_copyvote "${copies[@]}" -a -md5 -o restored-a.wav

say "Restoring with the sample vote made for CD audio (--cd)"
run_copyvote "${copies[@]}" --cd -md5 -o restored-cd.wav

say "Bytes that differ from original.wav (cmp -l | wc -l)"
for f in "${copies[@]}" restored.wav restored-a.wav restored-cd.wav; do
    if [ -f "$f" ]; then
        printf '  %-15s %6s\n' "$f" "$(bytes_differing original.wav "$f")"
    else
        printf '  %-15s %6s\n' "$f" "missing"
    fi
done
printf '  %-15s %s\n' original.wav "$(md5sum <original.wav | cut -d' ' -f1)  (md5sum, to compare with the digests above)"

[ -f restored.wav ] && [ -f restored-a.wav ] && [ -f restored-cd.wav ] ||
    { echo "demo: copyvote wrote no output" >&2; exit 1; }
plain=$(bytes_differing original.wav restored.wav)
with_a=$(bytes_differing original.wav restored-a.wav)
with_cd=$(bytes_differing original.wav restored-cd.wav)
read -r plain_samples plain_concealed _ < <("$demo_audio" explain --numbers original.wav restored.wav)
read -r a_samples a_concealed a_detectable < <("$demo_audio" explain --numbers original.wav restored-a.wav)

say "What is left"
if [ "$plain" -eq 0 ]; then
    echo "The byte vote restored the exact original."
else
    echo "The byte vote left $plain bytes in $plain_samples samples wrong; $plain_concealed of those samples hold"
    echo "the value the drive concealed them with. Where most of the five rips carry the same"
    echo "concealed sample, the majority is wrong and a vote cannot tell."
fi
if [ "$with_a" -eq 0 ]; then
    echo "With -a the exact original came back."
elif [ "$with_a" -lt "$plain" ]; then
    echo "With -a, $with_a bytes in $a_samples samples are still wrong ($a_concealed of them concealed values)."
else
    echo "With -a, $with_a bytes in $a_samples samples are wrong ($a_concealed of them concealed values): no better."
fi
if [ "$with_a" -gt 0 ] && [ "$with_a" -ge "$plain" ] && [ "$a_concealed" -gt 0 ]; then
    cat <<EOF

Why -a did not help here: -a takes a 16-bit value for a concealed one when it lies within 1
of the floor mean of the two 16-bit values right before and after it in the file, 2 bytes
either side (all read as unsigned numbers). In interleaved stereo those two values are
samples of the other channel, while the drive interpolated from the same channel's samples,
4 bytes either side. So the test does not see the drive's concealment: of the $a_samples
wrong samples, $a_detectable pass it.
What does help is more rips: a concealed value loses the vote once most copies read the
spot correctly.
EOF
fi
echo
if [ "$with_cd" -lt "$plain" ]; then
    echo "With --cd, which tests each copy's sample against the same channel's neighbours and lets"
    echo "a genuine-looking value overrule a concealed-looking majority, $with_cd bytes are wrong."
else
    echo "With --cd, $with_cd bytes are wrong: no better than the byte vote on this material."
fi
echo
echo "(The demo's files were in $work and are removed now.)"
