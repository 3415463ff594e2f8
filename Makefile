# Thin wrapper over the CMake presets; every target first installs what is missing.
SAMPLE_TILE ?= 0
BUILD := build/default

.PHONY: deps build run test clean

deps:
	scripts/install-deps

build: deps
	cmake --preset default
	cmake --build --preset default

run: build
	$(BUILD)/vindle $(BUILD)/examples/sample.torv $(SAMPLE_TILE)

test: build
	ctest --preset default -j2

clean:
	rm -rf build
