# A thin layer over CMake: installs what is missing, then configures, builds and runs.
BUILD ?= build
PREFIX ?= /usr/local
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
FUZZ_SECONDS ?= 60
PACKAGES = g++ cmake make libfreeimage-dev libgtest-dev libbenchmark-dev valgrind strace parallel
FUZZ_PACKAGES = clang libclang-rt-14-dev libfreeimage-dev cmake
DEB_PACKAGES = dpkg-dev file
DEB_CHECK_PACKAGES = lintian

.PHONY: all setup build demo test asan fuzz bench profile install deb deb-check clean

all: build

setup:
	@sh tools/setup-deps $(PACKAGES)

build: setup
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	$(BUILD)/vozk-render 48 $(BUILD)/demo.png < doc/sample.txt
	@echo "The demo picture is $(abspath $(BUILD))/demo.png"

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The whole suite again, built with AddressSanitizer and UndefinedBehaviorSanitizer.
asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS=-DVOZK_SANITIZE=ON

# Fuzzes the layout for FUZZ_SECONDS, starting from the seeds in fuzz/corpus.
fuzz:
	@sh tools/setup-deps $(FUZZ_PACKAGES)
	cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DVOZK_FUZZ=ON -DVOZK_TESTS=OFF
	cmake --build build-fuzz -j $(JOBS) --target render_fuzz
	rm -rf build-fuzz/corpus && mkdir -p build-fuzz/corpus
	build-fuzz/fuzz/render_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=513 -timeout=10 \
		-print_final_stats=1 -artifact_prefix=build-fuzz/ build-fuzz/corpus fuzz/corpus

# Microbenchmarks, then whole runs of the tool against the floor (several minutes);
# PEERS=1 also times netpbm and a Pillow script, installing them if missing.
bench: build
	$(BUILD)/bench/micro
	$(BUILD)/bench/runner --tool $(BUILD)/vozk-render --floor $(BUILD)/bench/floor \
		$(if $(PEERS),--peers)

# A Debian package in $(BUILD): vozk-render_<version>_<arch>.deb.
deb: build
	@sh tools/setup-deps $(DEB_PACKAGES)
	rm -f $(BUILD)/vozk-render_*.deb
	cd $(BUILD) && cpack -G DEB

# Checks that package without installing it: its files, Depends, lintian, and its binary at work.
deb-check: deb
	@sh tools/setup-deps $(DEB_CHECK_PACKAGES)
	sh tools/check-deb $(BUILD)/vozk-render_*.deb $(BUILD)

# Where the time of a run goes, library by library: 1 MB of the benchmark's text at 80 columns,
# sampled by perf.
profile: build
	@sh tools/setup-deps linux-perf
	$(BUILD)/bench/runner --save-text 1000000 $(BUILD)/profile.txt
	perf record -q -g -o $(BUILD)/perf.data \
		$(BUILD)/vozk-render 80 $(BUILD)/profile.png < $(BUILD)/profile.txt > /dev/null
	perf report -i $(BUILD)/perf.data --no-children --sort dso --stdio -g none | grep '%'

install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

clean:
	rm -rf $(BUILD) build-asan build-fuzz
