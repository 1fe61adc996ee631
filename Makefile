# A thin layer over CMake: installs what is missing, then configures, builds and runs.
BUILD ?= build
PREFIX ?= /usr/local
JOBS ?= $(shell nproc)
PACKAGES = g++ cmake make libfreeimage-dev libgtest-dev

.PHONY: all setup build demo test install clean

all: build

setup:
	@sh tools/setup-deps $(PACKAGES)

build: setup
	cmake -S . -B $(BUILD)
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	$(BUILD)/vozk-render 48 $(BUILD)/demo.png < doc/sample.txt
	@echo "The demo picture is $(abspath $(BUILD))/demo.png"

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

clean:
	rm -rf $(BUILD)
