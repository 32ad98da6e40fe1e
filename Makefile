# Front door. `make` builds the release engine at build/release/ruvan.
PRESETS := release debug sanitize tsan windows

.PHONY: all data tables net setup-engine setup-test run test bench format clean tsan-engine web serve-web web-test fuzz fuzz-build fuzz-seeds windows-test soak $(PRESETS)

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

# Both front-door targets first install what a fresh machine lacks.
setup-engine:
	@tools/setup_test_machine.sh --engine

setup-test:
	@tools/setup_test_machine.sh

run: setup-engine
	@$(MAKE) --no-print-directory release
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

# `make windows` cross-compiles build/windows/pbrain-ruvan64.exe (mingw-w64,
# static); windows-test runs the protocol scripts against it under wine. The
# .exe writes CR LF line ends, which RUVAN_LINE_END=crlf makes the transcripts
# require (the native engine is held to bare LF).
# One wine session holds for the whole run, and each script has a time limit,
# so that nothing wine does can keep the run waiting without end.
WINE_TEST_LIMIT = timeout -k 10 1200
windows-test: windows
	tools/wine_engine.sh --hold
	status=0; \
	RUVAN_LINE_END=crlf $(WINE_TEST_LIMIT) python3 tests/protocol/test_protocol.py tools/wine_engine.sh && \
	$(WINE_TEST_LIMIT) python3 tests/protocol/test_forbid.py tools/wine_engine.sh && \
	$(WINE_TEST_LIMIT) python3 tests/protocol/test_fuzz.py tools/wine_engine.sh && \
	$(WINE_TEST_LIMIT) python3 tests/protocol/test_games.py tools/wine_engine.sh || status=$$?; \
	tools/wine_engine.sh --release; exit $$status

# Soak games under the address+undefined sanitizer: `make soak GAMES=300`
# plays that many seeded cases (every rule, square, rectangular and tiny
# boards, blocks) from SOAK_SEED on; any fault fails it with its reproducer.
GAMES ?= 20
SOAK_SEED ?= 1
soak:
	@cmake --preset sanitize >/dev/null
	@cmake --build --preset sanitize --target ruvan
	python3 tools/soak.py build/sanitize/ruvan --games $(GAMES) --seed $(SOAK_SEED)

test: setup-test
	@$(MAKE) --no-print-directory release sanitize tsan-engine
	ctest --test-dir build/release --output-on-failure
	ctest --test-dir build/sanitize --output-on-failure -j2 -R '^[A-Z]'
	ctest --test-dir build/tsan --output-on-failure -R '^protocol\.test_protocol$$'
	RUVAN_ENGINE_PREAMBLE="INFO thread_num 2" ctest --test-dir build/tsan --output-on-failure -R '^protocol\.test_protocol$$'
	tools/bench_signature.sh build/release/ruvan-bench build/sanitize/ruvan-bench
	$(MAKE) --no-print-directory web-test
	rm -rf build/fuzz/test-corpus
	$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=60 FUZZ_CORPUS=build/fuzz/test-corpus
	$(MAKE) --no-print-directory windows-test
	python3 tools/soak.py build/sanitize/ruvan --games 27 --seed 1

# Self-play positions for the fitter (bench/datagen.cpp), one file per rule in
# DATA_DIR: DATA_GAMES games a rule at DATA_NODES nodes a move, seed DATA_SEED.
# Niced and one rule after another, so that one core does it; running it
# again resumes where it stopped, and a larger DATA_GAMES extends the files.
DATA_DIR ?= data
DATA_GAMES ?= 20000
DATA_NODES ?= 4000
DATA_SEED ?= 1
data: release
	@mkdir -p $(DATA_DIR)
	for rule in 0 1 2; do \
	  nice -n 19 build/release/ruvan-datagen --out $(DATA_DIR)/rule$$rule-seed$(DATA_SEED).bin --rule $$rule \
	    --games $(DATA_GAMES) --seed $(DATA_SEED) --nodes $(DATA_NODES) || exit 1; \
	done

# The learned tables from a fresh clone: self-play data for each run of
# TABLE_RUNS (rule:seed:games, DATA_NODES nodes a move), the fit of the value
# (free style's with its pair table) on the open positions of all the files
# with the tree's move tables kept
# (src/board/learned_tables.cpp is generated, its header names the data and
# the command), and the engine built with them. The data of a run already in
# DATA_DIR is kept (its last game is played again).
TABLE_RUNS ?= 0:20:6000 0:21:6000 0:22:6000 0:23:6000 0:24:6000 1:20:6000 2:13:3000 2:14:3000
TUNE_LAMBDA ?= 0
TUNE_OPTIONS ?= --skip-proven --joint 0 --moves-from src/board/learned_tables.cpp
tables: release
	@mkdir -p $(DATA_DIR)
	files=; for run in $(TABLE_RUNS); do \
	  set -- $$(echo $$run | tr : ' '); file=$(DATA_DIR)/rule$$1-seed$$2.bin; \
	  nice -n 19 build/release/ruvan-datagen --out $$file --rule $$1 --games $$3 --seed $$2 \
	    --nodes $(DATA_NODES) || exit 1; \
	  files="$$files $$file"; \
	done; \
	build/release/ruvan-tune --seed 1 --lambda $(TUNE_LAMBDA) $(TUNE_OPTIONS) --out src/board/learned_tables.cpp $$files
	$(MAKE) --no-print-directory release

# The network on top of the learned value (src/board/learned_net.cpp, also
# generated): self-play data for each run of NET_RUNS as above, then the fit
# of a network of NET_WIDTH hidden units on the open positions, over the tree's
# value tables as they stand, and the engine built with it. The runs of seed 50
# and 51 were played by the engine with its first network (a second
# generation); from a fresh clone every run is played by the tree's engine.
# Renju has no network (--net-rules): under the clock it played better
# without one.
NET_RUNS ?= 0:40:6000 0:42:6000 0:43:6000 0:44:6000 0:50:6000 0:51:6000 1:40:6000 1:42:6000 1:43:6000 1:50:6000 1:51:6000
NET_OPTIONS ?= --hidden 16 --net-epochs 20 --net-rules 0,1
net: release
	@mkdir -p $(DATA_DIR)
	files=; for run in $(NET_RUNS); do \
	  set -- $$(echo $$run | tr : ' '); file=$(DATA_DIR)/rule$$1-seed$$2.bin; \
	  nice -n 19 build/release/ruvan-datagen --out $$file --rule $$1 --games $$3 --seed $$2 \
	    --nodes $(DATA_NODES) || exit 1; \
	  files="$$files $$file"; \
	done; \
	build/release/ruvan-tune --seed 1 --lambda 0 --skip-proven --joint 0 --moves-from src/board/learned_tables.cpp \
	  $(NET_OPTIONS) --net-base-from src/board/learned_tables.cpp --net-out src/board/learned_net.cpp $$files
	$(MAKE) --no-print-directory release

bench: release
	./build/release/ruvan-bench
	./build/release/ruvan-threats suite bench/threat_positions.txt
	@if [ -x build/release/ruvan-micro ]; then ./build/release/ruvan-micro --benchmark_min_time=0.2; fi

# The engine as WebAssembly with the board page, in build/web. Debian's
# emscripten runs its JavaScript optimiser under node, which finds the acorn
# parser only among Debian's node modules.
EMENV := NODE_PATH=/usr/share/nodejs
WEB_PAGE := $(wildcard web/*.html web/*.css web/*.js)

web:
	@command -v em++ >/dev/null || { echo "make web needs em++ (Debian package emscripten)"; exit 1; }
	@$(EMENV) emcmake cmake -S . -B build/web-cmake -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DRUVAN_TESTS=OFF -DRUVAN_BENCH=OFF >/dev/null
	@$(EMENV) cmake --build build/web-cmake -j2
	@mkdir -p build/web
	cp build/web-cmake/ruvan.js build/web-cmake/ruvan.wasm $(WEB_PAGE) build/web/

PORT ?= 8000
serve-web: web
	@echo "Ruvan: http://localhost:$(PORT)/"
	python3 -m http.server $(PORT) --bind 127.0.0.1 --directory build/web

# The WebAssembly engine's replies against the native engine's, then the
# browser tests: Debian's Chromium driven by playwright-core (pinned in
# tests/web/package-lock.json), against the page served from build/web.
web-test: web release
	@command -v chromium >/dev/null || { echo "make web-test needs chromium (Debian package chromium)"; exit 1; }
	@[ -d tests/web/node_modules/playwright-core ] || (cd tests/web && npm ci --no-audit --no-fund)
	cd tests/web && node --test transport.test.js page.test.js study.test.js swap2.test.js

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build
