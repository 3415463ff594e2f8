// Throughput of Application::read (from memory and from a file) and of validate, on
// device-shaped packages from 1 MiB to a full device.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>
#include <kj/io.h>

#include "device_package.hpp"
#include "hostile_inputs.hpp"
#include "package_writer.hpp"
#include "ratios.hpp"

namespace {

using namespace torv_package;

constexpr std::size_t MiB = 1 << 20;

struct Fixture {
  Application app;
  std::string bytes;
  std::filesystem::path file;
};

// Built once per size and kept: generating a full device takes longer than reading it.
Fixture& fixture(std::size_t mib) {
  static std::map<std::size_t, Fixture> cache;
  auto it = cache.find(mib);
  if (it != cache.end()) return it->second;
  Fixture f;
  const std::uint32_t tiles =
      mib == 0 ? testing::device_tiles : testing::tiles_for_size(mib * MiB);
  const std::size_t per_tile = mib == 1 ? 512 * 1024 : testing::full_tile_data;
  f.app = testing::device_application(tiles, per_tile);
  f.bytes = testing::serialize(f.app);
  f.file = std::filesystem::temp_directory_path() /
           ("torv_bench_" + std::to_string(getpid()) + "_" + std::to_string(mib));
  std::ofstream(f.file, std::ios::binary) << f.bytes;
  // One untimed read first: the figures are for a process that has read packages before,
  // not for the first touches of fresh memory (scripts/bench-e2e measures those).
  if (!testing::read_bytes(f.bytes)) std::abort();
  return cache.emplace(mib, std::move(f)).first->second;
}

void BM_ReadFromMemory(benchmark::State& state) {
  const Fixture& f = fixture(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    auto result = testing::read_bytes(f.bytes);
    if (!result) state.SkipWithError(result.error().debug_string().c_str());
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.bytes.size()));
  state.counters["package_MiB"] = static_cast<double>(f.bytes.size()) / MiB;
}

void BM_ReadFromFile(benchmark::State& state) {
  const Fixture& f = fixture(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    const int fd = open(f.file.c_str(), O_RDONLY | O_CLOEXEC);
    auto result = Application::read(kj::heap<kj::FdInputStream>(kj::AutoCloseFd(fd)));
    if (!result) state.SkipWithError(result.error().debug_string().c_str());
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.bytes.size()));
  state.counters["package_MiB"] = static_cast<double>(f.bytes.size()) / MiB;
}

// Writing the same package to a new file, without the final fsync of write_file, so that
// it compares with reading from the page cache. Between iterations, untimed, the last file
// is removed and dirty pages are written back: otherwise the kernel makes a writer wait
// for the disk, and the figure would be the disk's.
void BM_WriteToFile(benchmark::State& state) {
  const Fixture& f = fixture(static_cast<std::size_t>(state.range(0)));
  const std::string path = f.file.string() + ".written";
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::remove(path);
    sync();
    state.ResumeTiming();
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    kj::FdOutputStream out{kj::AutoCloseFd(fd)};
    if (auto written = f.app.write(out); !written) state.SkipWithError(written.error().debug_string().c_str());
  }
  std::filesystem::remove(path);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.bytes.size()));
  state.counters["package_MiB"] = static_cast<double>(f.bytes.size()) / MiB;
}

// Baseline: only read() the file into a fresh buffer, as any reader must.
void BM_ReadFileOnly(benchmark::State& state) {
  const Fixture& f = fixture(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    const int fd = open(f.file.c_str(), O_RDONLY | O_CLOEXEC);
    std::unique_ptr<char[]> buffer(new char[f.bytes.size()]);
    std::size_t done = 0;
    while (done < f.bytes.size()) {
      const ssize_t n = read(fd, buffer.get() + done, f.bytes.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    close(fd);
    benchmark::DoNotOptimize(buffer.get());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.bytes.size()));
  state.counters["package_MiB"] = static_cast<double>(f.bytes.size()) / MiB;
}

void BM_Validate(benchmark::State& state) {
  const Fixture& f = fixture(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    auto result = f.app.validate();
    if (!result) state.SkipWithError(result.error().debug_string().c_str());
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.bytes.size()));
}

// 60,000 tiles and 30,000 debug regions on the last one; the tile numbers are multiples
// of the argument. 62233 is a bucket count of the standard hash table, so with it every
// number would fall into one bucket of a set keyed by identity.
void BM_ValidateTileNumbers(benchmark::State& state) {
  const Application app = testing::tiles_with_stride(60'000, static_cast<std::uint32_t>(state.range(0)), 30'000);
  for (auto _ : state) {
    auto result = app.validate();
    if (!result) state.SkipWithError(result.error().debug_string().c_str());
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BM_ValidateTileNumbers)->Arg(1)->Arg(62233)->Unit(benchmark::kMillisecond)->UseRealTime();

// Host page lookups: 1 Mi pages and 3 Mi attach-order entries in random order (argument 1:
// page indexes 0, 1, 2, ...; argument 2: multiples of 4093, so no table by index), against
// a plain package whose model has the same size in configuration writes (argument 0).
void BM_ValidateAttachOrder(benchmark::State& state) {
  constexpr std::uint32_t pages = 1u << 20, attach = 3u << 20;
  Application app = testing::tiles_with_stride(1, 1, 0);
  const std::uint32_t stride = state.range(0) == 2 ? 4093 : 1;
  if (state.range(0) == 0) {
    const std::size_t writes = (std::size_t{pages} * sizeof(HostPage) + std::size_t{attach} * 4) / sizeof(DeviceConfigWrite);
    for (std::uint32_t i = 0; i < writes; ++i) app.device_config_writes.push_back({i * 4, i});
  } else {
    for (std::uint32_t i = 0; i < pages; ++i) app.host_exchange.pages.push_back({i * stride, 4096});
    std::uint64_t x = 88172645463325252u;  // xorshift: the same order on every run
    for (std::uint32_t i = 0; i < attach; ++i) {
      x ^= x << 13, x ^= x >> 7, x ^= x << 17;
      app.host_exchange.attach_order.push_back(static_cast<std::uint32_t>(x % pages) * stride);
    }
  }
  for (auto _ : state) {
    auto result = app.validate();
    if (!result) state.SkipWithError(result.error().debug_string().c_str());
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BM_ValidateAttachOrder)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// Sizes in MiB; 0 stands for a full device (1472 tiles).
void sizes(benchmark::internal::Benchmark* b) {
  for (const int mib : {1, 16, 64, 256, 1024, 0}) b->Arg(mib);
  b->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
}

BENCHMARK(BM_ReadFromMemory)->Apply(sizes);
BENCHMARK(BM_ReadFromFile)->Apply(sizes);
BENCHMARK(BM_ReadFileOnly)->Apply(sizes);
BENCHMARK(BM_WriteToFile)->Apply(sizes);
BENCHMARK(BM_Validate)->Apply(sizes);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  reporter.print({
      {"validate: colliding / sequential tile numbers", "BM_ValidateTileNumbers/62233/real_time",
       "BM_ValidateTileNumbers/1/real_time", 1.5},
      {"validate: 1 Mi host pages, 3 Mi attach entries / plain", "BM_ValidateAttachOrder/1/real_time",
       "BM_ValidateAttachOrder/0/real_time", 5},
      {"validate: the same with sparse page indexes / plain", "BM_ValidateAttachOrder/2/real_time",
       "BM_ValidateAttachOrder/0/real_time", 5},
      {"write / read, full-device package file", "BM_WriteToFile/0/min_time:1.000/real_time",
       "BM_ReadFromFile/0/min_time:1.000/real_time", 1.5},
  });
  for (const std::size_t mib : {1, 16, 64, 256, 1024, 0}) {
    std::filesystem::remove(std::filesystem::temp_directory_path() /
                            ("torv_bench_" + std::to_string(getpid()) + "_" + std::to_string(mib)));
  }
  return 0;
}
