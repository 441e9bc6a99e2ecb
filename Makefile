# Quick start: `make run` starts the helper on this terminal, `make test` runs every test.
# Both first install the Debian packages that are missing (as root, or through sudo).
#
# make test   the whole suite three times: plain, with AddressSanitizer + UndefinedBehaviorSanitizer,
#             and with ThreadSanitizer; then the fuzzer for FUZZ_SMOKE_SECONDS (60)
# make fuzz   the fuzzer alone for FUZZ_SECONDS (600), keeping its corpus in fuzz-out/
# make bench  Release build of the helper and the benchmarks in build-bench/; writes bench/RESULTS.md

BUILD_TYPE ?= RelWithDebInfo
FUZZ_SECONDS ?= 600
FUZZ_SMOKE_SECONDS ?= 60
JOBS ?= $(shell nproc)
PACKAGES := g++ cmake ninja-build nlohmann-json3-dev libgtest-dev libgmock-dev
TEST_PACKAGES := clang libclang-rt-14-dev valgrind binutils
BENCH_PACKAGES := libbenchmark-dev
BENCH_RUNS ?= 3
SUDO := $(shell [ "$$(id -u)" -eq 0 ] || echo sudo)
WERROR := $(if $(CI),ON,OFF)
CONFIGURE = cmake -S . -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DTOLVANE_WERROR=$(WERROR)
# Any sanitizer report fails the run.
export ASAN_OPTIONS ?= abort_on_error=1:detect_leaks=1:strict_string_checks=1
export UBSAN_OPTIONS ?= halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS ?= halt_on_error=1:second_deadlock_stack=1

FUZZ_CORPORA := tests/fuzz/seeds ../shared/conformance/json/test_parsing ../shared/conformance/utf8

.PHONY: all deps test-deps bench-deps install-missing build run test test-plain test-asan test-tsan fuzz fuzz-smoke fuzz-build bench clean

all: build

deps:
	@$(MAKE) --no-print-directory install-missing WANTED="$(PACKAGES)"

test-deps:
	@$(MAKE) --no-print-directory install-missing WANTED="$(PACKAGES) $(TEST_PACKAGES)"

bench-deps:
	@$(MAKE) --no-print-directory install-missing WANTED="$(PACKAGES) $(BENCH_PACKAGES)"

install-missing:
	@missing=""; \
	for p in $(WANTED); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing" >&2; \
	  $(SUDO) apt-get update -qq >&2 && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing >&2; \
	fi

build: deps
	@$(CONFIGURE) -B build >&2
	@cmake --build build >&2

# The helper reads commands from this terminal and writes its messages to it; end input with Ctrl-D.
run: build
	@exec ./build/tolvane

test: test-deps
	$(MAKE) --no-print-directory test-plain test-asan test-tsan fuzz-smoke

test-plain: build
	ctest --test-dir build --output-on-failure -j $(JOBS)

test-asan: test-deps
	$(CONFIGURE) -B build-asan -DTOLVANE_SANITIZE=address,undefined
	cmake --build build-asan
	ctest --test-dir build-asan --output-on-failure -j $(JOBS)

test-tsan: test-deps
	$(CONFIGURE) -B build-tsan -DTOLVANE_SANITIZE=thread
	cmake --build build-tsan
	ctest --test-dir build-tsan --output-on-failure -j $(JOBS)

fuzz-build: test-deps
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

clean:
	rm -rf build build-asan build-tsan build-fuzz build-bench

# Micro-benchmarks (3 repetitions each), then the process-level driver, which runs the helper and
# the limit program alternately for BENCH_RUNS runs and writes every figure to bench/RESULTS.md.
bench: bench-deps
	cmake -S . -G Ninja -B build-bench -DCMAKE_BUILD_TYPE=Release -DTOLVANE_WERROR=$(WERROR) -DTOLVANE_TESTS=OFF -DTOLVANE_BENCH=ON
	cmake --build build-bench
	./build-bench/bench/tolvane_micro_bench --benchmark_repetitions=3 --benchmark_out=build-bench/micro.json \
	  --benchmark_out_format=json
	./build-bench/bench/tolvane_process_bench --helper build-bench/tolvane --limit build-bench/bench/tolvane_limit \
	  --runs $(BENCH_RUNS) --micro build-bench/micro.json --notes bench/NOTES.md --out bench/RESULTS.md
