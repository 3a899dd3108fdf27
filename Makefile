BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: deps configure build test clean

deps:
	@bash scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja

build: configure
	@cmake --build $(BUILD) --parallel $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure --parallel $(JOBS)

clean:
	@rm -rf $(BUILD)
