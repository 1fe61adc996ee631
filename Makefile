# A thin layer over CMake: installs what is missing (or, without apt, names it), then configures,
# builds and runs. What each target needs is named by Debian's packages, which tools/setup-deps
# installs, or, on a system without apt, looks for in its own way.
# demo and install need only the tool's own packages; deb adds its packaging tools, test and the
# rest the test tools.
BUILD ?= build
PREFIX ?= /usr/local
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# A FreeImage built elsewhere: the prefix that holds include/FreeImage.h and lib/libfreeimage.so
# (or the fork's lib/libFreeImage.so).
# CMake gets it as FreeImage_ROOT; kept out of the environment, where CMake 3.27 and later would
# warn about its upper-case name (policy CMP0144).
FREEIMAGE_ROOT ?=
unexport FREEIMAGE_ROOT
# Where the system has no FreeImage (or with FREEIMAGE_FROM_SOURCE=ON), CMake builds it from
# source with zlib-ng, fetched from FREEIMAGE_REPO and ZLIBNG_REPO (git URLs or paths) if given;
# setup-deps, which sees FREEIMAGE_FROM_SOURCE in its environment, then installs what that build
# takes instead of libfreeimage-dev.
FREEIMAGE_REPO ?=
ZLIBNG_REPO ?=
FREEIMAGE_FROM_SOURCE ?=
export FREEIMAGE_FROM_SOURCE
FUZZ_SECONDS ?= 60
FREEIMAGE = $(if $(FREEIMAGE_ROOT),,libfreeimage-dev)
PACKAGES = g++ cmake make $(FREEIMAGE)
TEST_PACKAGES = $(PACKAGES) libgtest-dev libbenchmark-dev valgrind strace acl parallel netpbm imagemagick \
	git
FUZZ_PACKAGES = clang libclang-rt-dev cmake make $(FREEIMAGE)
CONFIGURE = cmake -S . -B $(BUILD) $(if $(FREEIMAGE_ROOT),-DFreeImage_ROOT="$(FREEIMAGE_ROOT)") \
	$(if $(FREEIMAGE_REPO),-DFREEIMAGE_REPO="$(FREEIMAGE_REPO)") \
	$(if $(ZLIBNG_REPO),-DZLIBNG_REPO="$(ZLIBNG_REPO)") \
	$(if $(FREEIMAGE_FROM_SOURCE),-DFREEIMAGE_FROM_SOURCE="$(FREEIMAGE_FROM_SOURCE)")
DEB_PACKAGES = dpkg-dev file
DEB_CHECK_PACKAGES = lintian

.PHONY: all setup build test-build demo test asan fuzz bench profile glyphs install uninstall \
	deb deb-check clean

all: build

setup:
	@sh tools/setup-deps $(PACKAGES)

# The tool, its man page and changelog, and nothing else.
build: setup
	$(CONFIGURE) -DVOZK_TESTS=OFF -DVOZK_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# The tool with its tests and benchmarks.
test-build:
	@sh tools/setup-deps $(TEST_PACKAGES)
	$(CONFIGURE) -DVOZK_TESTS=ON -DVOZK_BENCH=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	$(BUILD)/vozk-render 48 $(BUILD)/demo.png < doc/sample.txt
	@echo "The demo picture is $(abspath $(BUILD))/demo.png"

test: test-build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The whole suite again, built with AddressSanitizer and UndefinedBehaviorSanitizer.
asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS=-DVOZK_SANITIZE=ON

# Fuzzes the layout for FUZZ_SECONDS, starting from the seeds in fuzz/corpus.
fuzz:
	@sh tools/setup-deps $(FUZZ_PACKAGES)
	$(CONFIGURE:$(BUILD)=build-fuzz) -DCMAKE_CXX_COMPILER=clang++ -DVOZK_FUZZ=ON -DVOZK_TESTS=OFF
	cmake --build build-fuzz -j $(JOBS) --target render_fuzz
	rm -rf build-fuzz/corpus && mkdir -p build-fuzz/corpus
	build-fuzz/fuzz/render_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=513 -timeout=10 \
		-print_final_stats=1 -artifact_prefix=build-fuzz/ build-fuzz/corpus fuzz/corpus

# Microbenchmarks, then whole runs of the tool against the floor (several minutes);
# PEERS=1 also times netpbm and a Pillow script, installing them if missing.
bench: test-build
	$(BUILD)/bench/micro
	$(BUILD)/bench/runner --tool $(BUILD)/vozk-render --floor $(BUILD)/bench/floor \
		$(if $(PEERS),--peers)

# Where the time of a run goes, library by library: 1 MB of the benchmark's text at 80 columns,
# sampled by perf.
profile: test-build
	@sh tools/setup-deps linux-perf
	$(BUILD)/bench/runner --save-text 1000000 $(BUILD)/profile.txt
	perf record -q -g -o $(BUILD)/perf.data \
		$(BUILD)/vozk-render 80 $(BUILD)/profile.png < $(BUILD)/profile.txt > /dev/null
	perf report -i $(BUILD)/perf.data --no-children --sort dso --stdio -g none | grep '%'

# Draws doc/glyphs.png, the README's chart of all 256 glyphs, with the tool just built.
glyphs: build
	@sh tools/setup-deps netpbm
	sh tools/glyph-chart $(BUILD)/vozk-render doc/glyphs.png

# A stripped binary, the man page and the docs under $(DESTDIR)$(PREFIX); the files it put
# there are recorded in $(BUILD)/installed.txt, for uninstall.
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)" --strip
	awk -v d="$(DESTDIR)" '{ print d $$0 }' $(BUILD)/install_manifest.txt > $(BUILD)/installed.txt

# Removes what the last make install from this build tree put in place, wherever that was.
uninstall:
	sh tools/uninstall $(BUILD)/installed.txt

# A Debian package in $(BUILD): vozk-render_<version>_<arch>.deb. Its packaging tools are asked
# for with the tool's own, before anything is built.
deb: PACKAGES += $(DEB_PACKAGES)
deb: build
	rm -f $(BUILD)/vozk-render_*.deb
	cd $(BUILD) && cpack -G DEB

# Checks that package without installing it: its files, Depends, lintian, and its binary at work
# (through the end-to-end tests, which the test build brings).
deb-check: PACKAGES += $(DEB_CHECK_PACKAGES)
deb-check: deb
	$(MAKE) test-build
	sh tools/check-deb $(BUILD)/vozk-render_*.deb $(BUILD)

clean:
	rm -rf $(BUILD) build-asan build-fuzz
