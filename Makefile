# Front door. `make` builds the release engine at build/release/ruvan.
PRESETS := release debug sanitize tsan

.PHONY: all run test bench format clean tsan-engine fuzz fuzz-build fuzz-seeds $(PRESETS)

# `make fuzz` runs the command-handler fuzzer for FUZZ_SECONDS; a finding
# stops it with a non-zero exit and leaves its input in build/fuzz/ as
# crash-*, leak-*, timeout-* or oom-* (rerun: build/fuzz/ruvan-fuzz FILE,
# RUVAN_FUZZ_SHOW=1 to see the engine's lines). New inputs collect in
# FUZZ_CORPUS; tests/fuzz/corpus holds the seeds. `make test` starts from the
# seeds alone every time, so that its run does not grow with the corpus that
# earlier runs left behind.
FUZZ_SECONDS ?= 60
FUZZ_CORPUS ?= build/fuzz/corpus
FUZZ_FLAGS = -max_total_time=$(FUZZ_SECONDS) -max_len=12000 -timeout=30 -print_final_stats=1 \
	-dict=tests/fuzz/commands.dict -artifact_prefix=build/fuzz/

all: release

$(PRESETS):
	@cmake --preset $@ >/dev/null
	@cmake --build --preset $@

run: release
	./build/release/ruvan

# The thread-sanitizer build only needs the engine: it runs the protocol
# transcripts, where both threads of the engine are at work.
tsan-engine:
	@cmake --preset tsan >/dev/null
	@cmake --build --preset tsan --target ruvan

fuzz-build:
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz --target ruvan-fuzz

fuzz: fuzz-build
	@mkdir -p $(FUZZ_CORPUS)
	build/fuzz/ruvan-fuzz $(FUZZ_FLAGS) $(FUZZ_CORPUS) tests/fuzz/corpus

# Records the protocol transcripts' sessions and keeps those the fuzzer finds
# distinct as tests/fuzz/corpus.
fuzz-seeds: release fuzz-build
	python3 tools/fuzz_seeds.py build/release/ruvan build/fuzz/ruvan-fuzz

test: release sanitize tsan-engine
	ctest --test-dir build/release --output-on-failure
	ctest --test-dir build/sanitize --output-on-failure -j2 -R '^[A-Z]'
	ctest --test-dir build/tsan --output-on-failure -R '^protocol\.test_protocol$$'
	RUVAN_ENGINE_PREAMBLE="INFO thread_num 2" ctest --test-dir build/tsan --output-on-failure -R '^protocol\.test_protocol$$'
	tools/bench_signature.sh build/release/ruvan-bench build/sanitize/ruvan-bench
	rm -rf build/fuzz/test-corpus
	$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=60 FUZZ_CORPUS=build/fuzz/test-corpus

bench: release
	./build/release/ruvan-bench
	@if [ -x build/release/ruvan-micro ]; then ./build/release/ruvan-micro --benchmark_min_time=0.2; fi

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build
