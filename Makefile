# Thin wrapper over the CMake presets; every target first installs what is missing.
SAMPLE_TILE ?= 0
SECONDS ?= 60
BUILD := build/default
FUZZ := build/fuzz

.PHONY: deps build run test test-sanitize test-tsan fuzz bench clean

deps:
	scripts/install-deps

build: deps
	cmake --preset default
	cmake --build --preset default

# Builds only what it runs: the library, vindle and the sample package.
run: deps
	cmake --preset default
	cmake --build --preset default --target vindle sample_package
	$(BUILD)/vindle $(BUILD)/examples/sample.torv $(SAMPLE_TILE)

test: build
	ctest --preset default -j2

test-sanitize: deps
	cmake --preset sanitize
	cmake --build --preset sanitize
	ctest --preset sanitize -j2

# Concurrent reads under ThreadSanitizer: only the library and that test are built.
test-tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan --target concurrency_tests
	ctest --preset tsan

# Fuzzes Application::read for SECONDS seconds, starting from a generated seed corpus;
# new inputs collect in build/fuzz/corpus, crashes in build/fuzz/crash-*.
# Resource limits turn expansion into findings: an input of at most 1 MiB may cost the
# reader 34.5 MiB of model (2.5 x its size + 32 MiB), and the round trip a few times that,
# so one allocation of 64 MB or more, 512 MB resident (ASan's quarantine held to 64 MB)
# or 10 s for one input is a failure.
fuzz: build
	scripts/install-deps --fuzz
	cmake --preset fuzz
	cmake --build --preset fuzz
	rm -rf $(FUZZ)/seed && $(BUILD)/tests/make_fuzz_corpus $(FUZZ)/seed
	cp $(BUILD)/examples/sample.torv $(FUZZ)/seed/sample
	mkdir -p $(FUZZ)/corpus
	ASAN_OPTIONS=quarantine_size_mb=64 $(FUZZ)/fuzz/read_fuzzer -max_total_time=$(SECONDS) \
	  -print_final_stats=1 -max_len=1048576 -malloc_limit_mb=64 -rss_limit_mb=512 -timeout=10 \
	  -artifact_prefix=$(FUZZ)/ $(FUZZ)/corpus $(FUZZ)/seed

# Throughput benchmarks, end-to-end figures of vindle against cat, a copy floor and
# capnp decode, and the Python module's read against the library's. Generates packages
# of up to ~900 MiB under build/bench.
bench: build
	$(BUILD)/bench/read_bench --benchmark_counters_tabular=true
	scripts/bench-e2e $(BUILD)
	scripts/bench-python $(BUILD)

clean:
	rm -rf build
