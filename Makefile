# Front door. `make` builds the release engine at build/release/ruvan.
PRESETS := release debug sanitize tsan

.PHONY: all run test bench format clean tsan-engine $(PRESETS)

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

test: release sanitize tsan-engine
	ctest --test-dir build/release --output-on-failure
	ctest --test-dir build/sanitize --output-on-failure -j2 -R '^[A-Z]'
	ctest --test-dir build/tsan --output-on-failure -R '^protocol\.test_protocol$$'
	tools/bench_signature.sh build/release/ruvan-bench build/sanitize/ruvan-bench

bench: release
	./build/release/ruvan-bench
	./build/release/ruvan-threats suite bench/threat_positions.txt
	@if [ -x build/release/ruvan-micro ]; then ./build/release/ruvan-micro --benchmark_min_time=0.2; fi

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build
