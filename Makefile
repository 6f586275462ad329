# Front door of the project: `make` builds build/copyvote, `make test` runs every test
# (once plainly and once under AddressSanitizer + UndefinedBehaviorSanitizer).

BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
PREFIX     ?= /usr/local
DESTDIR    ?=

# libgcrypt: the system's when it is new enough, otherwise a static build made once under .deps,
# which `make clean` leaves alone (`make distclean` removes it too).
GCRYPT_PREFIX = $(shell scripts/provide-libgcrypt.sh --prefix-only 2>/dev/null)
CMAKE_ARGS ?=

.PHONY: all deps gcrypt configure build build-all build-asan test demo bench audio-eval cd-fit repair-eval repair-v1-eval disc-eval examples install uninstall fuzz clean distclean

all: build

deps:
	@scripts/install-deps.sh

gcrypt: deps
	@scripts/provide-libgcrypt.sh

# `make` and `make demo` build the program and the demo's synthesizer only; `make test` builds
# everything (the test programs take most of a first build's time).
configure: gcrypt
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCOPYVOTE_GCRYPT_PREFIX="$(GCRYPT_PREFIX)" $(CMAKE_ARGS) >/dev/null

build: configure
	cmake --build $(BUILD) -j $(JOBS) --target copyvote demo_audio

build-all: configure
	cmake --build $(BUILD) -j $(JOBS)

build-asan: gcrypt
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DCOPYVOTE_SANITIZE=ON -DCOPYVOTE_GCRYPT_PREFIX="$(GCRYPT_PREFIX)" $(CMAKE_ARGS) >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)

test: build-all build-asan
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:verify_asan_link_order=0 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

demo: build
	@COPYVOTE=$(BUILD)/copyvote DEMO_AUDIO=$(BUILD)/demo_audio scripts/demo.sh

# copyvote against the I/O floor on data generated in a temporary directory (bench/run.sh tells
# SIZE, RUNS, CASES, REF and BENCH_DIR).
bench: build-all
	@BUILD=$(BUILD) bench/run.sh

# Wrong bytes left by the byte vote, -a and --cd on damaged copies of synthesized music, speech
# and shipped sounds (scripts/audio_eval.sh tells AUDIO_SECONDS and AUDIO_TIME). Not part of `test`.
audio-eval: build-all
	@scripts/install-deps.sh espeak-ng sox libsox-fmt-base alsa-utils sound-theme-freedesktop
	@BUILD=$(BUILD) scripts/audio_eval.sh

# The --cd model's weights made again from audio-eval's tune set: rewrites app/vote/cd/cd_weights.h
# byte for byte as committed unless a feature, the rule or the material changed (scripts/cd_fit.sh;
# the dumped runs stay in $(BUILD)/cd-fit). Rebuild afterwards to vote with the new weights.
cd-fit: configure
	@scripts/install-deps.sh espeak-ng sox libsox-fmt-base alsa-utils sound-theme-freedesktop
	cmake --build $(BUILD) -j $(JOBS) --target copyvote audio_eval cd_fit
	@BUILD=$(BUILD) scripts/cd_fit.sh

# The repair guided by expected checksums on damaged copies of the same kinds of audio: repaired,
# out of reach, false matches (scripts/repair_eval.sh tells REPAIR_SECONDS, REPAIR_REPS and
# REPAIR_KEEP). Not part of `test`.
repair-eval: build-all
	@scripts/install-deps.sh espeak-ng sox libsox-fmt-base alsa-utils sound-theme-freedesktop
	@BUILD=$(BUILD) scripts/repair_eval.sh

# `copyvote --disc` on a whole disc ripped five times (four tagged FLAC rips, one WAV, one read
# 420 frames late), with a response file: wrong bytes against the bytes no rip holds right,
# verdicts, exit status and times per run (scripts/disc_eval.sh tells DISC_SECONDS, DISC_TRACKS,
# DISC_VARIANTS and DISC_WORK). Builds only what it runs. Not part of `test`.
DISC_DEPS = espeak-ng sox libsox-fmt-base libsox-fmt-mp3 alsa-utils sound-theme-freedesktop asc-music

disc-eval: configure
	@scripts/install-deps.sh $(DISC_DEPS)
	cmake --build $(BUILD) -j $(JOBS) --target copyvote disc_material audio_eval align_material
	@BUILD=$(BUILD) scripts/disc_eval.sh

# The material that the README's and the man page's example commands use, made in a folder the
# user keeps (EXAMPLES_DIR, default ./examples; scripts/examples.sh says what it holds).
EXAMPLES_DIR ?= examples

examples: configure
	@scripts/install-deps.sh espeak-ng sox libsox-fmt-base alsa-utils sound-theme-freedesktop
	cmake --build $(BUILD) -j $(JOBS) --target copyvote disc_material demo_audio audio_eval align_material
	@BUILD=$(BUILD) EXAMPLES_DIR="$(EXAMPLES_DIR)" scripts/examples.sh

# The repair's false matches where AccurateRip v1 must match and the copies disagree in right samples
# only, over 1,000 random cases (scripts/repair_v1_eval.sh tells V1_CASES, V1_SECONDS and CV). Not
# part of `test`.
repair-v1-eval: build-all
	@BUILD=$(BUILD) scripts/repair_v1_eval.sh

BINDIR = $(DESTDIR)$(PREFIX)/bin
MAN1DIR = $(DESTDIR)$(PREFIX)/share/man/man1
STRIP ?= strip

# The installed program is stripped; $(BUILD)/copyvote keeps its debug information.
install: build
	install -d "$(BINDIR)" "$(MAN1DIR)"
	install -m 0755 -s --strip-program="$(STRIP)" $(BUILD)/copyvote "$(BINDIR)/copyvote"
	install -m 0644 docs/copyvote.1 "$(MAN1DIR)/copyvote.1"

uninstall:
	rm -f "$(BINDIR)/copyvote" "$(MAN1DIR)/copyvote.1"

# libFuzzer targets (fuzz/fuzz_*.cpp), built with clang and run FUZZ_SECONDS each. New inputs
# collect in $(FUZZ_BUILD)/corpus; crashes land in $(FUZZ_BUILD)/artifacts. The committed
# corpora under fuzz/corpus are only read here; `make test` replays them.
FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 60

fuzz: gcrypt
	@scripts/install-deps.sh clang libclang-rt-14-dev
	CC=clang CXX=clang++ cmake -S fuzz -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCOPYVOTE_GCRYPT_PREFIX="$(GCRYPT_PREFIX)" >/dev/null
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@mkdir -p $(FUZZ_BUILD)/artifacts
	@set -e; for src in fuzz/fuzz_*.cpp; do \
	  t=$$(basename $$src .cpp); mkdir -p $(FUZZ_BUILD)/corpus/$$t fuzz/corpus/$$t; \
	  echo "fuzz: $$t for $(FUZZ_SECONDS) s"; \
	  $(FUZZ_BUILD)/$$t -max_total_time=$(FUZZ_SECONDS) -max_len=4096 -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_BUILD)/artifacts/$$t- $(FUZZ_BUILD)/corpus/$$t fuzz/corpus/$$t; \
	done

# The build trees; the provisioned libgcrypt in .deps stays.
clean:
	rm -rf $(BUILD) $(ASAN_BUILD)

# Everything that building made, the fuzzing tree and the provisioned libgcrypt included.
distclean: clean
	rm -rf $(FUZZ_BUILD) .deps
