# Everyday commands. `make test` and `make demo` each do everything they need,
# from installing packages to running.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test demo bench clean

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 600

demo: build
	@scripts/demo.sh $(BUILD_DIR)

bench: build
	@scripts/bench.sh $(BUILD_DIR)

clean:
	@rm -rf $(BUILD_DIR)
