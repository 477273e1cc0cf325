# Everyday commands. `make test` and `make demo` each do everything they need,
# from installing packages to running.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
# Leak detection is off: the media and UI libraries keep caches for the life of
# the process, which LeakSanitizer would report as leaks.
ASAN_OPTIONS ?= detect_leaks=0:abort_on_error=1

.PHONY: all deps configure build test package check-asan demo bench matrix bench-monitor clean

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 600 \
		|| { $(CURDIR)/scripts/failed-tests.sh . ; exit 8; }

# The Debian package: $(BUILD_DIR)/zephyrscope_2.0-1_amd64.deb.
package: build
	@cmake --build $(BUILD_DIR) --target package

# The whole suite again, built with AddressSanitizer and UndefinedBehaviorSanitizer.
check-asan: deps
	@cmake -S . -B $(BUILD_DIR)-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZEPHYRSCOPE_SANITIZE=ON >/dev/null
	@cmake --build $(BUILD_DIR)-asan -j $(JOBS)
	@cd $(BUILD_DIR)-asan && ASAN_OPTIONS=$(ASAN_OPTIONS) UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --output-on-failure -j $(JOBS) --timeout 900

demo: build
	@scripts/demo.sh $(BUILD_DIR)

bench: build
	@scripts/bench.sh $(BUILD_DIR)

# Every live protocol under every impairment, against its relay's counts:
# docs/MATRIX.md, docs/matrix.json and docs/matrix.png.
matrix: build
	@$(BUILD_DIR)/bench/matrix/bench_matrix --out docs

# An hour of --monitor with an outage every two minutes: RSS and descriptors.
# MINUTES=5 for a short check.
MINUTES ?= 60
bench-monitor: build
	@mkdir -p $(BUILD_DIR)/bench-monitor
	@$(BUILD_DIR)/bench/bench_monitor_soak --program $(BUILD_DIR)/zephyrscope \
	  --server $(BUILD_DIR)/tools/rtsp-test-server/zephyrscope_rtsp_server \
	  --work $(BUILD_DIR)/bench-monitor --minutes $(MINUTES)

clean:
	@rm -rf $(BUILD_DIR) $(BUILD_DIR)-asan
