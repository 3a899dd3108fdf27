BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: deps configure build test clean

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

clean:
	@rm -rf $(BUILD)
