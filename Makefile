# Front door. `make` builds the release engine at build/release/ruvan.
PRESETS := release debug sanitize tsan windows

.PHONY: all run test bench format clean tsan-engine windows-test soak $(PRESETS)

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

# `make windows` cross-compiles build/windows/pbrain-ruvan64.exe (mingw-w64,
# static); windows-test runs the protocol scripts against it under wine. The
# .exe writes CR LF line ends, which RUVAN_LINE_END=crlf makes the transcripts
# require (the native engine is held to bare LF).
windows-test: windows
	tools/wine_engine.sh --prepare
	RUVAN_LINE_END=crlf python3 tests/protocol/test_protocol.py tools/wine_engine.sh
	python3 tests/protocol/test_forbid.py tools/wine_engine.sh
	python3 tests/protocol/test_fuzz.py tools/wine_engine.sh
	python3 tests/protocol/test_games.py tools/wine_engine.sh

# Soak games under the address+undefined sanitizer: `make soak GAMES=300`
# plays that many seeded cases (every rule, square, rectangular and tiny
# boards, blocks) from SOAK_SEED on; any fault fails it with its reproducer.
GAMES ?= 20
SOAK_SEED ?= 1
soak:
	@cmake --preset sanitize >/dev/null
	@cmake --build --preset sanitize --target ruvan
	python3 tools/soak.py build/sanitize/ruvan --games $(GAMES) --seed $(SOAK_SEED)

test: release sanitize tsan-engine
	ctest --test-dir build/release --output-on-failure
	ctest --test-dir build/sanitize --output-on-failure -j2 -R '^[A-Z]'
	ctest --test-dir build/tsan --output-on-failure -R '^protocol\.test_protocol$$'
	tools/bench_signature.sh build/release/ruvan-bench build/sanitize/ruvan-bench
	$(MAKE) --no-print-directory windows-test
	python3 tools/soak.py build/sanitize/ruvan --games 27 --seed 1

bench: release
	./build/release/ruvan-bench
	@if [ -x build/release/ruvan-micro ]; then ./build/release/ruvan-micro --benchmark_min_time=0.2; fi

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build
