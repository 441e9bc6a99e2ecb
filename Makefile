# Quick start: `make run` starts the helper on this terminal, `make test` builds it and runs every
# test. Both first install the Debian packages that are missing (as root, or through sudo), saying
# which and why.
#
# make run      builds the helper alone, quietly, and starts it on this terminal
# make test     plain build of the helper and the tests, then the whole suite
# make check    make test, then the suite under AddressSanitizer + UndefinedBehaviorSanitizer and
#               under ThreadSanitizer, then the fuzzer for FUZZ_SMOKE_SECONDS (60); what CI runs
# make deps     installs the packages needed to build the helper, and nothing else
# make install  installs the helper, its manual page and README under DESTDIR/PREFIX
# make package  builds a Debian package of the helper in build/
# make fuzz     the fuzzer alone for FUZZ_SECONDS (600), keeping its corpus in fuzz-out/
# make bench    Release build of the helper and the benchmarks in build-bench/; writes bench/RESULTS.md,
#               bench/LIBRARY.md and bench/PLAYBACK.md

BUILD_TYPE ?= RelWithDebInfo
PREFIX ?= /usr/local
FUZZ_SECONDS ?= 600
FUZZ_SMOKE_SECONDS ?= 60
JOBS ?= $(shell nproc)
# Most process tests wait on the helper in real time rather than compute: twice as many at once as
# there are cores keeps both busy.
TEST_JOBS ?= $(shell echo $$(( $$(nproc) * 2 )))
BUILD_PACKAGES := g++ cmake ninja-build pkg-config libboost-json1.81-dev nlohmann-json3-dev libsqlite3-dev libtag1-dev libgdk-pixbuf-2.0-dev \
  libgstreamer1.0-dev
# What the helper on a music library plays with: playbin, the decoders and the audio outputs.
PLAY_PACKAGES := gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-pulseaudio gstreamer1.0-alsa
TEST_PACKAGES := libgtest-dev libgmock-dev python3 valgrind binutils flac vorbis-tools opus-tools lame
CHECK_PACKAGES := clang libclang-rt-14-dev
PACKAGE_PACKAGES := dpkg-dev
BENCH_PACKAGES := libbenchmark-dev rapidjson-dev libsimdjson-dev libgtest-dev flac lame mpd mpc mpv
BENCH_RUNS ?= 5
BENCH_LIBRARY_FILES ?= 10000
SUDO := $(shell [ "$$(id -u)" -eq 0 ] || echo sudo)
WERROR := $(if $(CI),ON,OFF)
CONFIGURE = cmake -S . -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DTOLVANE_WERROR=$(WERROR)
# Runs a command with its output kept aside, and shows that output only when the command fails.
QUIETLY = sh -c 'log=$$(mktemp); "$$@" >"$$log" 2>&1; status=$$?; \
  [ $$status -eq 0 ] || cat "$$log" >&2; rm -f "$$log"; exit $$status' quietly
# Any sanitizer report fails the run.
export ASAN_OPTIONS ?= abort_on_error=1:detect_leaks=1:strict_string_checks=1
export UBSAN_OPTIONS ?= halt_on_error=1:print_stacktrace=1
# GStreamer and GLib are not instrumented: ThreadSanitizer does not see their own synchronisation
# (GLib's atomics and futexes), and reports hundreds of races and lock-order inversions inside them.
# ignore_noninstrumented_modules drops the reports that arise in their calls to intercepted functions
# (memcpy, free, pthread_mutex_lock); every access made by our own code is still checked.
export TSAN_OPTIONS ?= halt_on_error=1:second_deadlock_stack=1:ignore_noninstrumented_modules=1
# GLib's slice allocator passes memory between threads through caches of its own; with plain malloc
# the sanitizers see where each block comes from.
export G_SLICE ?= always-malloc

FUZZ_CORPORA := tests/fuzz/seeds ../shared/conformance/json/test_parsing ../shared/conformance/utf8

.PHONY: all deps test-deps check-deps package-deps bench-deps install-missing build run test check \
  test-asan test-tsan fuzz fuzz-smoke fuzz-build install package bench clean

all: build

deps:
	@$(MAKE) --no-print-directory install-missing WANTED="$(BUILD_PACKAGES) $(PLAY_PACKAGES)" \
	  WHY="to build the helper and play music libraries"

test-deps:
	@$(MAKE) --no-print-directory install-missing WANTED="$(BUILD_PACKAGES) $(PLAY_PACKAGES) $(TEST_PACKAGES)" \
	  WHY="to build and run the tests"

check-deps:
	@$(MAKE) --no-print-directory install-missing \
	  WANTED="$(BUILD_PACKAGES) $(PLAY_PACKAGES) $(TEST_PACKAGES) $(CHECK_PACKAGES)" \
	  WHY="for the sanitizer and fuzzing builds"

package-deps:
	@$(MAKE) --no-print-directory install-missing WANTED="$(BUILD_PACKAGES) $(PACKAGE_PACKAGES)" \
	  WHY="to build the Debian package"

bench-deps:
	@$(MAKE) --no-print-directory install-missing WANTED="$(BUILD_PACKAGES) $(PLAY_PACKAGES) $(BENCH_PACKAGES)" \
	  WHY="for the benchmarks"

install-missing:
	@missing=""; \
	for p in $(WANTED); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing Debian packages $(WHY):$$missing" >&2; \
	  $(QUIETLY) $(SUDO) apt-get update -q && \
	  DEBIAN_FRONTEND=noninteractive $(QUIETLY) $(SUDO) apt-get install -y -q $$missing; \
	fi

# The helper alone; nothing of the build is shown unless it fails.
build: deps
	@[ -f build/build.ninja ] || $(QUIETLY) $(CONFIGURE) -B build -DTOLVANE_TESTS=OFF
	@$(QUIETLY) cmake --build build --target tolvane

# The helper reads commands from this terminal and writes its messages to it; end input with Ctrl-D.
run: build
	@exec ./build/tolvane

test: test-deps
	@$(QUIETLY) $(CONFIGURE) -B build -DTOLVANE_TESTS=ON
	cmake --build build
	ctest --test-dir build --output-on-failure -j $(TEST_JOBS)

check: test test-asan test-tsan fuzz-smoke

test-asan: check-deps
	$(CONFIGURE) -B build-asan -DTOLVANE_SANITIZE=address,undefined
	cmake --build build-asan
	ctest --test-dir build-asan --output-on-failure -j $(JOBS)

test-tsan: check-deps
	$(CONFIGURE) -B build-tsan -DTOLVANE_SANITIZE=thread
	cmake --build build-tsan
	ctest --test-dir build-tsan --output-on-failure -j $(JOBS)

fuzz-build: check-deps
	CXX=clang++ $(CONFIGURE) -B build-fuzz -DTOLVANE_TESTS=OFF -DTOLVANE_FUZZ=ON -DTOLVANE_SANITIZE=address,undefined
	cmake --build build-fuzz --target command_fuzzer

fuzz: fuzz-build
	mkdir -p fuzz-out/corpus
	./build-fuzz/tests/fuzz/command_fuzzer -max_total_time=$(FUZZ_SECONDS) -dict=tests/fuzz/commands.dict \
	  -artifact_prefix=fuzz-out/ fuzz-out/corpus $(FUZZ_CORPORA)

fuzz-smoke: fuzz-build
	rm -rf build-fuzz/corpus && mkdir -p build-fuzz/corpus
	./build-fuzz/tests/fuzz/command_fuzzer -max_total_time=$(FUZZ_SMOKE_SECONDS) -dict=tests/fuzz/commands.dict \
	  -artifact_prefix=build-fuzz/ build-fuzz/corpus $(FUZZ_CORPORA)

# DESTDIR is read by cmake --install from the environment, as make passes it.
install: build
	DESTDIR="$(DESTDIR)" cmake --install build --prefix "$(PREFIX)" --strip

package: package-deps build
	cd build && cpack -G DEB
	@ls build/*.deb

clean:
	rm -rf build build-asan build-tsan build-fuzz build-bench

# Micro-benchmarks (3 repetitions each), then the process-level driver, which runs the helper and
# the limit program alternately for BENCH_RUNS runs and writes every figure to bench/RESULTS.md.
bench: bench-deps
	cmake -S . -G Ninja -B build-bench -DCMAKE_BUILD_TYPE=Release -DTOLVANE_WERROR=$(WERROR) -DTOLVANE_TESTS=OFF -DTOLVANE_BENCH=ON
	cmake --build build-bench
	./build-bench/bench/tolvane_micro_bench --benchmark_repetitions=3 --benchmark_out=build-bench/micro.json \
	  --benchmark_out_format=json
	./build-bench/bench/tolvane_json_candidates_bench --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
	./build-bench/bench/tolvane_process_bench --helper build-bench/tolvane --limit build-bench/bench/tolvane_limit \
	  --runs $(BENCH_RUNS) --micro build-bench/micro.json --notes bench/NOTES.md --out bench/RESULTS.md
	./build-bench/bench/tolvane_library_bench --helper build-bench/tolvane --files $(BENCH_LIBRARY_FILES) \
	  --out bench/LIBRARY.md
	./build-bench/bench/tolvane_playback_bench --helper build-bench/tolvane --out bench/PLAYBACK.md
