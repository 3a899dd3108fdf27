BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: deps configure build test run clean

deps:
	@bash scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja

build: configure
	@cmake --build $(BUILD) --parallel $(JOBS)

# Every test runs inside a private headless desktop (Xvfb, openbox, D-Bus,
# accessibility bus); unit tests still use the offscreen platform. A few
# tests measure real timers and can miss on a machine loaded by eight test
# processes at once: a failing case is run again, up to three times.
test: build
	@scripts/desktop-session sh -c 'cd $(BUILD) && ctest --output-on-failure --parallel $(JOBS) --repeat until-pass:3'

# Starts Talvex on your desktop; without a display (a server, CI) it runs in
# the private headless desktop of scripts/desktop-session instead.
run: build
	@if [ -n "$${DISPLAY:-}" ]; then $(BUILD)/src/talvex; \
	 else scripts/desktop-session $(BUILD)/src/talvex; fi

clean:
	@rm -rf $(BUILD)
