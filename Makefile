# Entry points: `make run` and `make test` set up, build and go.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all setup configure build run install test bench coverage clean

all: build

setup:
	@sh scripts/setup.sh

configure: setup
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# paneprobe under vekos-run (scripts/run.sh chooses a window, this terminal
# or a headless recording).  Only what it runs is built: vekos-run, paneprobe
# and the SDK; `make test` builds the rest.
HEADLESS_FRAMES ?= 404
run: configure
	@cmake --build $(BUILD) -j $(JOBS) --target vekos-run paneprobe vekos_sdk
	@sh scripts/run.sh $(BUILD) $(HEADLESS_FRAMES)

# vekos-run, the SDK and the manual below PREFIX: bin/, include/vekos/,
# lib/vekos/, share/doc/vekos/.  DESTDIR=DIR stages the install under DIR.
PREFIX ?= /usr/local
install: configure
	@cmake --build $(BUILD) -j $(JOBS) --target vekos-run vekos_sdk
	@cmake --install $(BUILD) --prefix $(PREFIX)

test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The test suite with line coverage of the guest code, in a build of its own.
coverage: setup
	@sh scripts/coverage.sh $(BUILD)-coverage

bench: build
	@sh bench/run.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(BUILD)-coverage
