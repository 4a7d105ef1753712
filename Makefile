# Entry points; the work is done by CMake and the scripts under scripts/.
BUILD     ?= build
SANBUILD  ?= build-san
JOBS      ?= $(shell nproc)
CMAKE_ARGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
# The program alone, or with its tests and benchmarks (which need GoogleTest and
# Google Benchmark); a plain `make` keeps what the build folder was configured with.
RUN_OPTIONS  = -DCHRONARK_TESTS=OFF -DCHRONARK_BENCH=OFF
TEST_OPTIONS = -DCHRONARK_TESTS=ON -DCHRONARK_BENCH=ON

.PHONY: all deps deps-test deps-package configure build run test bench fuzz deb package-test \
	format format-check clean

all: build

deps:
	@bash scripts/install-deps.sh run

deps-test:
	@bash scripts/install-deps.sh test

deps-package:
	@bash scripts/install-deps.sh package

configure: deps
	@cmake -S . -B $(BUILD) $(CMAKE_ARGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

run: deps
	@cmake -S . -B $(BUILD) $(CMAKE_ARGS) $(RUN_OPTIONS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)
	@bash scripts/run.sh $(BUILD)

test: deps-test
	@cmake -S . -B $(BUILD) $(CMAKE_ARGS) $(TEST_OPTIONS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)
	@bash scripts/test.sh $(BUILD) $(SANBUILD)

bench: deps-test
	@cmake -S . -B $(BUILD) $(CMAKE_ARGS) -DCHRONARK_BENCH=ON >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)
	@bash scripts/bench.sh $(BUILD)

fuzz: deps-test
	@bash scripts/fuzz.sh $(SANBUILD) 600

# The Debian package, built by dpkg-buildpackage from a copy of the tree, into $(BUILD)/deb/.
deb: deps-package
	@bash scripts/build-deb.sh $(BUILD)/deb

# Builds the package and checks it: file list, control fields, lintian, and an
# install into a private root (too long for `make test`).
package-test: deps-package
	@bash tests/package/package_test.sh $(BUILD)/deb

format-check: deps-test
	@bash scripts/format-check.sh

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(SANBUILD)
