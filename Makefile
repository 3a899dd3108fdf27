BUILD ?= build
SANITIZE_BUILD ?= build-sanitize
JOBS ?= $(shell nproc)

.PHONY: deps configure build test test-sanitize run clean

deps:
	@bash scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja

build: configure
	@cmake --build $(BUILD) --parallel $(JOBS)

# Every test runs inside a private headless desktop (Xvfb, openbox, D-Bus,
# accessibility bus); unit tests still use the offscreen platform.
test: build
	@scripts/desktop-session sh -c 'cd $(BUILD) && ctest --output-on-failure --parallel $(JOBS)'

# The unit tests again, built with AddressSanitizer and UndefinedBehaviorSanitizer
# in a folder of their own (which builds neither the desktop tests nor the
# benchmarks). A leak, like any other finding, fails the test that made it.
test-sanitize: deps
	@cmake -S . -B $(SANITIZE_BUILD) -G Ninja -DTALVEX_SANITIZE=ON
	@cmake --build $(SANITIZE_BUILD) --parallel $(JOBS)
	@ASAN_OPTIONS=detect_stack_use_after_return=1:strict_init_order=1 \
	 UBSAN_OPTIONS=print_stacktrace=1 \
	 scripts/desktop-session sh -c 'cd $(SANITIZE_BUILD) && ctest --output-on-failure --parallel $(JOBS) -LE desktop'

# Starts Talvex on your desktop; without a display (a server, CI) it runs in
# the private headless desktop of scripts/desktop-session instead.
run: build
	@if [ -n "$${DISPLAY:-}" ]; then $(BUILD)/src/talvex; \
	 else scripts/desktop-session $(BUILD)/src/talvex; fi

clean:
	@rm -rf $(BUILD) $(SANITIZE_BUILD)
