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

# paneprobe under vekos-run: in a window when there is a display, else in this
# terminal when there is one (both in real time, q or Escape quits), else
# headless for 404 frames (the rectangle there and back) recorded as a GIF.
HEADLESS_FRAMES ?= 404
run: build
	@run="$(BUILD)/bin/vekos-run"; prog="$(BUILD)/bin/paneprobe"; \
	if [ -n "$${DISPLAY}$${WAYLAND_DISPLAY}" ]; then \
	    echo "make run: paneprobe in a window; q or Escape quits"; \
	    "$$run" --display window "$$prog"; status=$$?; \
	elif [ -t 0 ] && [ -t 1 ]; then \
	    "$$run" --display terminal "$$prog"; status=$$?; \
	else \
	    gif="$(abspath $(BUILD))/paneprobe.gif"; \
	    echo "make run: no display and no terminal: paneprobe headless for $(HEADLESS_FRAMES) frames"; \
	    "$$run" --display none --fast --timeout 60 --frames $(HEADLESS_FRAMES) --record "$$gif" "$$prog"; \
	    status=$$?; \
	    [ $$status -eq 0 ] && echo "make run: the frames are in $$gif"; \
	fi; \
	echo "paneprobe exited with status $$status"; exit $$status

test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

bench: build
	@sh bench/run.sh $(BUILD)

clean:
	rm -rf $(BUILD)
