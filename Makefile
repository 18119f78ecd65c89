# The two commands of the README, plus a few for developers.
#   make run    install what is missing, build, start the demo (Ctrl-C stops it)
#   make test   install what is missing, build, run every test suite
#   make bench  build, run the benchmark suite (one table, one summary line)
#   make two-servers  two recording servers on one MQTT broker (Ctrl-C stops them)
#   make package  build, then the Debian packages corvane and corvane-dev in $(BUILD)/
SHELL := /bin/bash
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# Warnings are errors for the test run (and CI), not for a user's build.
WERROR ?= OFF
FUZZ_SECONDS ?= 60

.PHONY: all deps build run two-servers test bench package fuzz mutate format clean

all: build

deps:
	@scripts/install-deps

build: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_WERROR=$(WERROR) \
	  $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@scripts/run-demo $(BUILD)

two-servers: build
	@scripts/run-two-servers $(BUILD)

# Sanitizer suites after the normal one: AddressSanitizer + UBSan, then
# ThreadSanitizer; SANITIZERS=address runs only the first, SANITIZERS= neither.
SANITIZERS ?= address thread

test: WERROR = ON
test: build
	@scripts/run-tests $(BUILD) $(SANITIZERS)

bench: build
	@scripts/run-bench $(BUILD)

package: build
	@cmake --build $(BUILD) --target package

# Mutation sampling (not part of make test): every tests/mutants/*.patch must
# make some test fail.
mutate: deps
	@scripts/mutate

fuzz: deps
	@FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/run-fuzz

format:
	@clang-format -i $$(git ls-files '*.cpp' '*.h' '*.c')

clean:
	rm -rf $(BUILD) build-address build-thread build-mutate run run-two
