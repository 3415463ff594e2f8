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

# Builds only what it runs: the library, both tools and the sample package; dumps a tile
# of the sample with vindle and summarises it with torv-package.
run: deps
	cmake --preset default
	cmake --build --preset default --target vindle torv-package sample_package
	$(BUILD)/vindle $(BUILD)/examples/sample.torv $(SAMPLE_TILE)
	@echo
	$(BUILD)/torv-package info $(BUILD)/examples/sample.torv
	@echo
	@echo "The tools are $(BUILD)/vindle and $(BUILD)/torv-package; their manuals: man -l man/vindle.1, man -l man/torv-package.1"

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

# Fuzzing for SECONDS seconds in all, split between four libFuzzer targets that run one
# after another: read_fast 40%, view 20%, tools 20%, read_bound 20% (at least 1 s each;
# a target runs its seeds first, however long that takes). Each starts from a generated
# seed corpus, keeps new inputs in build/fuzz/corpus/TARGET and writes failing ones to
# build/fuzz/TARGET-crash-* (or -oom-, -timeout-, -leak-); all four run even when one
# fails, and then make fails.
#   read_fast   Application::read, then validate, write and read back, on inputs up to
#               64 KiB, over the library built with its memory floors 128 times smaller
#               (a budget of 256 KiB + 2.5 x the message, a traversal limit of 64 Ki
#               words + 4 x): an input that expands to the bound costs tens of
#               milliseconds under the sanitizers, not seconds.
#   view        PackageView::from_bytes against Application::read; the same library.
#   tools       torv-package json in every data form, parsed and compared with the model,
#               built back (hex and base64) into the package's bytes, diff of a package
#               with itself and with its rewrite, and map's page (a section per tile, an
#               element per segment, slice and region); the same library.
#   read_bound  read_fast's checks over the library as shipped, on inputs up to 1 MiB,
#               with the seeds that expand to tens of MB.
# Resource limits turn expansion into findings. Both read targets check the heap a read
# holds against its bound (twice the budget's floor + 4 x the input). The scaled targets
# fail on one allocation of 1 MiB or more (16 MiB for tools: json's document of a model
# within the scaled budget runs to megabytes, and build holds it as a tree of 120-byte
# nodes, an array's items in one vector; 16,385 exchange activities from a 1.5 KB input
# took 3.75 MiB),
# 256 MB resident (ASan's quarantine held to 16 MB) or 5 s for one input; read_bound on
# 64 MB, 512 MB (quarantine 64 MB) or 30 s (one seed, 4 Mi configuration writes read,
# validated and written twice, takes seconds under the sanitizers).
# Speed: the scaled targets give an input mutation time in inverse proportion to its run
# time (entropic_scale_per_exec_time): most inputs take well under a millisecond, and the
# few that expand or hold hundreds of tiles took most of the time (read_fast: 3,366 runs a
# second over 120 s without it, 4,614 with it). Every target keeps ASan's stack-use-after-
# return frames in 64 KiB per size class rather than 1 MiB: each exception the reader
# catches (a malformed message throws inside Cap'n Proto) makes ASan sweep all of them,
# which took 13% of read_fast's time (5,702 runs a second with both).
FUZZ_SCALED := -max_len=65536 -rss_limit_mb=256 -timeout=5 -entropic_scale_per_exec_time=1
fuzz: build
	scripts/install-deps --fuzz
	cmake --preset fuzz
	cmake --build --preset fuzz
	rm -rf $(FUZZ)/seed && $(BUILD)/tests/make_fuzz_corpus $(FUZZ)/seed
	cp $(BUILD)/examples/sample.torv $(FUZZ)/seed/sample
	@failed=""; \
	run() { \
	  target=$$1 share=$$2 quarantine=$$3; shift 3; \
	  seconds=$$(( $(SECONDS) * share / 100 )); [ $$seconds -ge 1 ] || seconds=1; \
	  mkdir -p $(FUZZ)/corpus/$$target; \
	  echo "fuzz: $$target for $$seconds s"; \
	  ASAN_OPTIONS=quarantine_size_mb=$$quarantine:max_uar_stack_size_log=16 $(FUZZ)/fuzz/$${target}_fuzzer \
	    -max_total_time=$$seconds -print_final_stats=1 "$$@" -artifact_prefix=$(FUZZ)/$$target- \
	    $(FUZZ)/corpus/$$target $(FUZZ)/seed || failed="$$failed $$target"; \
	}; \
	run read_fast 40 16 $(FUZZ_SCALED) -malloc_limit_mb=1; \
	run view 20 16 $(FUZZ_SCALED) -malloc_limit_mb=1; \
	run tools 20 16 $(FUZZ_SCALED) -malloc_limit_mb=16; \
	run read_bound 20 64 -max_len=1048576 -malloc_limit_mb=64 -rss_limit_mb=512 -timeout=30; \
	if [ -n "$$failed" ]; then echo "fuzz: findings from$$failed" >&2; exit 1; fi

# Throughput benchmarks, end-to-end figures of vindle against cat, a copy floor and
# capnp decode, the Python module's read against the library's, and opening and walking
# a package through the C API against the C++ view. Generates packages of up to ~900 MiB
# under build/bench.
bench: build
	$(BUILD)/bench/read_bench --benchmark_counters_tabular=true
	scripts/bench-e2e $(BUILD)
	scripts/bench-extract $(BUILD)
	scripts/bench-python $(BUILD)
	$(BUILD)/bench/c_api_walk $(BUILD)/../bench/device-1472.torv

clean:
	rm -rf build
