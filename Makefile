# Thin wrapper over the CMake presets; every target first installs what is missing.
.PHONY: deps build test clean

deps:
	scripts/install-deps

build: deps
	cmake --preset default
	cmake --build --preset default

test: build
	ctest --preset default -j2

clean:
	rm -rf build
