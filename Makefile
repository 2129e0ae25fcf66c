# Entry points: `make run` and `make test` set up, build and go.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all setup configure build run test bench clean

all: build

setup:
	@sh scripts/setup.sh

configure: setup
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/bin/vekos-run $(BUILD)/bin/argsdemo 3 hello vekos; echo "argsdemo exited with status $$?"

test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

bench: build
	@sh bench/run.sh $(BUILD)

clean:
	rm -rf $(BUILD)
