# Entry points; the work is done by CMake and the scripts under scripts/.
BUILD     ?= build
SANBUILD  ?= build-san
JOBS      ?= $(shell nproc)

.PHONY: all deps configure build run test test-unit test-san bench fuzz format format-check clean

all: build

deps:
	@bash scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@bash scripts/run.sh $(BUILD)

test: build
	@bash scripts/test.sh $(BUILD) $(SANBUILD)

bench: build
	@bash scripts/bench.sh $(BUILD)

fuzz: deps
	@bash scripts/fuzz.sh $(SANBUILD) 600

format-check: deps
	@bash scripts/format-check.sh

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(SANBUILD)
