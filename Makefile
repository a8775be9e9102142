# Thin wrapper over CMake.
JOBS ?= $(shell nproc)
BUILD ?= build
# Where `make install` puts things; DESTDIR stages them below another root.
PREFIX ?= /usr/local

.PHONY: all demo test bench fuzz install clean

# The libraries and the program, optimised; no tests, no benchmarks.
all:
	cmake -S . -B $(BUILD)/release -DCMAKE_BUILD_TYPE=Release -DZT_BUILD_TESTS=OFF \
	  -DZT_BUILD_BENCH=OFF -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	cmake --build $(BUILD)/release -j $(JOBS)

demo: all
	./examples/demo.sh $(BUILD)/release/tools/ztmime/ztmime

# Three times: a Debug build under AddressSanitizer and UndefinedBehaviorSanitizer,
# then an optimised build, whose paths (the view-record cache, vector code
# at -O2) the sanitizer build does not take, and which also installs into a
# temporary prefix and builds examples/ against it (install_consumer); then
# an optimised build under ThreadSanitizer (which cannot share a build with
# AddressSanitizer).  The last runs the thread stress suite and every suite
# except $(TSAN_SKIP): the long random-model suites, whose single-threaded
# paths the other two builds cover.
TSAN_SKIP ?= Model\.|ParserChunking|Cli
test:
	cmake -S . -B $(BUILD)/test -DCMAKE_BUILD_TYPE=Debug -DZT_SANITIZE=ON -DZT_WERROR=ON -DZT_BUILD_BENCH=OFF
	cmake --build $(BUILD)/test -j $(JOBS)
	cd $(BUILD)/test && ctest --output-on-failure -j $(JOBS)
	cmake -S . -B $(BUILD)/reltest -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZT_WERROR=ON -DZT_BUILD_BENCH=OFF
	cmake --build $(BUILD)/reltest -j $(JOBS)
	cd $(BUILD)/reltest && ctest --output-on-failure -j $(JOBS)
	cmake -S . -B $(BUILD)/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZT_TSAN=ON -DZT_WERROR=ON -DZT_BUILD_BENCH=OFF
	cmake --build $(BUILD)/tsan -j $(JOBS)
	cd $(BUILD)/tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS) -E '$(TSAN_SKIP)'

bench:
	cmake -S . -B $(BUILD)/bench -DCMAKE_BUILD_TYPE=Release -DZT_BUILD_TESTS=OFF
	cmake --build $(BUILD)/bench -j $(JOBS)
	$(BUILD)/bench/bench/parse_bench
	$(BUILD)/bench/bench/events_shared_bench --benchmark_filter='^parse/'
	$(BUILD)/bench/bench/codec_bench
	$(BUILD)/bench/bench/threads_bench
	$(BUILD)/bench/bench/rss_1gib
	$(BUILD)/bench/bench/reader_bench
	$(BUILD)/bench/bench/rss_reader
	$(BUILD)/bench/bench/cli_bench

# Each fuzz target built with clang and libFuzzer, run for FUZZ_SECONDS
# from its seed corpus; new inputs go to $(BUILD)/fuzz/corpus/<target>.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= parser header codec lock reader
fuzz:
	cmake -S . -B $(BUILD)/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DZT_FUZZ=ON -DZT_BUILD_TESTS=OFF -DZT_BUILD_BENCH=OFF
	cmake --build $(BUILD)/fuzz -j $(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))
	set -e; for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(BUILD)/fuzz/corpus/$$t; \
	  $(BUILD)/fuzz/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    $(BUILD)/fuzz/corpus/$$t fuzz/corpus/$$t; \
	done

install: all
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD)/release --prefix $(PREFIX)

clean:
	rm -rf $(BUILD)
