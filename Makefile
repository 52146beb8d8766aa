# KOVA 2.0: `make test` installs, builds and runs every test; `make run` opens the window.
JOBS ?= 2
GEN := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")

.PHONY: all setup build build-tsan build-asan build-fuzz fuzz test-fuzz-corpus test test-plain test-tsan test-asan run bench screenshot clean

all: build

setup:
	@bash scripts/setup.sh

build: setup
	@if [ ! -f build/CMakeCache.txt ]; then cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $(GEN); fi
	cmake --build build -j $(JOBS)

# Sanitizer folders build the Qt-free libraries and their tests only.
build-tsan: setup
	@if [ ! -f build-tsan/CMakeCache.txt ]; then cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DKOVA_SANITIZE=thread -DKOVA_BUILD_GUI=OFF $(GEN); fi
	cmake --build build-tsan -j $(JOBS)

build-asan: setup
	@if [ ! -f build-asan/CMakeCache.txt ]; then cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKOVA_SANITIZE=address -DKOVA_BUILD_GUI=OFF $(GEN); fi
	cmake --build build-asan -j $(JOBS)

test-plain: build
	bash scripts/check-no-qt.sh build
	cd build && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

test-tsan: build-tsan
	cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --output-on-failure -j $(JOBS) -LE slow

test-asan: build-asan
	cd build-asan && ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" ctest --output-on-failure -j $(JOBS) -LE slow

# Fuzz targets need clang with its fuzzer runtime; `make test` only replays fuzz/corpus.
FUZZ_SECONDS ?= 60
build-fuzz: setup
	@if [ ! -f build-fuzz/CMakeCache.txt ]; then CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOVA_FUZZ=ON -DKOVA_BUILD_GUI=OFF -DBUILD_TESTING=OFF $(GEN); fi
	cmake --build build-fuzz -j $(JOBS) --target kova_fuzz

fuzz: build-fuzz
	bash fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

test-fuzz-corpus: build-fuzz
	bash fuzz/run.sh build-fuzz 0

test: test-plain test-tsan test-asan test-fuzz-corpus test-soak test-package

# Without a display: the relay headless, e.g. `make run TARGETS=host:port [LISTEN=..] [PORT=..] [RELAY_ARGS=..]`.
run: build
	@LISTEN="$(LISTEN)" PORT="$(PORT)" TARGETS="$(TARGETS)" RELAY_ARGS="$(RELAY_ARGS)" bash scripts/run.sh

# The Debian package from build/ (build/kova_<version>_<arch>.deb); the test unpacks it, never installs it.
.PHONY: package test-package
package: build
	cd build && cpack -G DEB

test-package: build
	bash tests/package/check-deb.sh build

bench: build
	@bash scripts/setup.sh bench
	@bash bench/run.sh

# Relay hosts under mixed load on loopback, every byte checked; `make test` runs 30 seconds of it.
SOAK_MINUTES ?= 10
.PHONY: soak test-soak
soak: build
	/usr/bin/python3 bench/soak.py --minutes $(SOAK_MINUTES)

test-soak: build
	/usr/bin/python3 bench/soak.py --seconds 30

# Mutation run of the socket layer and the engine against the fast suite (not part of `make test`);
# MUTANTS=id,id runs only those.
.PHONY: mutate
mutate: setup
	/usr/bin/python3 scripts/mutate.py $(if $(MUTANTS),--only $(MUTANTS))

# Every picture into build/: the program as started, the window relaying, its tray menu, the views.
screenshot: build
	@bash scripts/screenshot.sh
	@bash scripts/screenshot.sh --service build/kova-service.png
	@bash scripts/screenshot.sh --views

clean:
	rm -rf build build-tsan build-asan build-fuzz
