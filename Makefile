# Thin wrapper over CMake.
JOBS ?= $(shell nproc)
BUILD ?= build

.PHONY: all demo test bench install clean

all:
	cmake -S . -B $(BUILD)/release -DCMAKE_BUILD_TYPE=Release -DZT_BUILD_TESTS=OFF
	cmake --build $(BUILD)/release -j $(JOBS)

demo: all
	./examples/demo.sh $(BUILD)/release/tools/ztmime/ztmime

# Twice: a Debug build under AddressSanitizer and UndefinedBehaviorSanitizer,
# then an optimised build, whose paths (the view-record cache, vector code
# at -O2) the sanitizer build does not take.
test:
	cmake -S . -B $(BUILD)/test -DCMAKE_BUILD_TYPE=Debug -DZT_SANITIZE=ON -DZT_WERROR=ON -DZT_BUILD_BENCH=OFF
	cmake --build $(BUILD)/test -j $(JOBS)
	cd $(BUILD)/test && ctest --output-on-failure -j $(JOBS)
	cmake -S . -B $(BUILD)/reltest -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZT_WERROR=ON -DZT_BUILD_BENCH=OFF
	cmake --build $(BUILD)/reltest -j $(JOBS)
	cd $(BUILD)/reltest && ctest --output-on-failure -j $(JOBS)

bench:
	cmake -S . -B $(BUILD)/bench -DCMAKE_BUILD_TYPE=Release -DZT_BUILD_TESTS=OFF
	cmake --build $(BUILD)/bench -j $(JOBS)
	$(BUILD)/bench/bench/parse_bench
	$(BUILD)/bench/bench/codec_bench
	$(BUILD)/bench/bench/rss_1gib
	$(BUILD)/bench/bench/reader_bench
	$(BUILD)/bench/bench/rss_reader
	$(BUILD)/bench/bench/cli_bench

install: all
	cmake --install $(BUILD)/release

clean:
	rm -rf $(BUILD)
