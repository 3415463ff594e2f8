// Crafted inputs that try to make the reader allocate, loop or recurse beyond what their
// size justifies, and the deterministic mutation sweep: every single-bit flip and every
// truncation of a small package must give a package or an error, never anything else.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <malloc.h>

#include <cstdio>
#include <functional>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "hostile_inputs.hpp"
#include "package_writer.hpp"
#include "sample_package.hpp"

extern char** environ;

namespace torv_package {
namespace {

using testing::read_bytes;

std::string debug_of(const Result<Application>& result) {
  return result ? std::string("success") : result.error().debug_string();
}

void expect_capnp_error(const Result<Application>& result, std::string_view fragment = {}) {
  ASSERT_FALSE(result) << "crafted input read as a package";
  EXPECT_EQ(result.error().kind(), ErrorKind::Capnp) << result.error().debug_string();
  if (!fragment.empty()) {
    EXPECT_NE(result.error().debug_string().find(fragment), std::string::npos)
        << result.error().debug_string();
  }
}

TEST(HostileInput, SegmentTablesClaimingMoreThanTheFile) {
  for (const std::uint32_t segments : {1u, 2u, 3u, 511u}) {
    SCOPED_TRACE(segments);
    expect_capnp_error(read_bytes(testing::segment_claim_beyond_file(segments)));
  }
}

TEST(HostileInput, SegmentCountBound) {
  const auto most = read_bytes(testing::package_with_segments(511));
  ASSERT_TRUE(most) << debug_of(most);
  EXPECT_EQ(*most, testing::valid_application());
  expect_capnp_error(read_bytes(testing::package_with_segments(512)), "too many segments");
}

TEST(HostileInput, AmplifiedListsInEveryListField) {
  for (const bool zero_sized_structs : {false, true}) {
    for (const auto& list : testing::amplified_lists((1u << 29) - 1, zero_sized_structs)) {
      SCOPED_TRACE(list.field + (zero_sized_structs ? " (zero-sized structs)" : " (void)"));
      expect_capnp_error(read_bytes(list.bytes));
    }
  }
}

TEST(HostileInput, ShortZeroSizedListsStillRead) {
  // The traversal bound leaves room for honest lists of empty structs.
  for (const auto& list : testing::amplified_lists(3, true)) {
    if (list.field != "deviceConfigWrites" && list.field != "debugRegions") continue;
    SCOPED_TRACE(list.field);
    const auto result = read_bytes(list.bytes);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), ErrorKind::Invalid) << "read in full, refused by validation";
  }
}

TEST(HostileInput, FarPointerChainAndUnterminatedText) {
  expect_capnp_error(read_bytes(testing::far_pointer_chain(500)));
  expect_capnp_error(read_bytes(testing::text_without_nul(1 << 20)), "NUL-terminated");
}

TEST(HostileInput, HugeListOfEmptyTilesReads) {
  const auto result = read_bytes(testing::many_empty_tiles(1'000'000));
  ASSERT_TRUE(result) << debug_of(result);
  EXPECT_EQ(result->tiles.size(), 1'000'000u);
  EXPECT_EQ(result->tiles.back().physical_tile, 999'999u);
}

TEST(MutationSweep, EveryBitFlipAndTruncationIsAPackageOrAnError) {
  const std::string good = testing::serialize(testing::valid_application());
  std::size_t packages = 0, errors = 0;
  const auto check = [&](const std::string& bytes) {
    const auto result = read_bytes(bytes);  // an escaped exception fails the whole test
    if (result) {
      ++packages;
      EXPECT_TRUE(result->validate());
    } else {
      ++errors;
    }
  };
  for (std::size_t bit = 0; bit < good.size() * 8; ++bit) {
    std::string flipped = good;
    flipped[bit / 8] = static_cast<char>(flipped[bit / 8] ^ (1 << (bit % 8)));
    check(flipped);
  }
  for (std::size_t length = 0; length < good.size(); ++length) check(good.substr(0, length));
  EXPECT_GT(packages, 0u);
  EXPECT_GT(errors, good.size()) << "every truncation at least must fail";
}

// Peak resident memory of vindle reading `path`, in bytes. Started with fork, not a
// vfork-style spawn: a child sharing this process's memory at exec would inherit this
// process's peak as its own.
std::size_t vindle_peak_memory(const std::filesystem::path& path) {
  malloc_trim(0);
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execl(VINDLE_PATH, VINDLE_PATH, path.c_str(), "0", static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  EXPECT_TRUE(WIFEXITED(status)) << "vindle died from a signal";
  return static_cast<std::size_t>(usage.ru_maxrss) * 1024;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

TEST(HostileInput, PeakMemoryFollowsInputSize) {
  if (sanitized) GTEST_SKIP() << "sanitizer shadow memory hides the reader's own use";
  const auto path = std::filesystem::temp_directory_path() /
                    ("torv_hostile_" + std::to_string(getpid()));
  // Each input is written to the file and dropped before vindle starts.
  const auto measure = [&](const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
    return bytes.size();
  };
  measure(testing::serialize(testing::valid_application()));
  const std::size_t baseline = vindle_peak_memory(path);
  const struct {
    const char* name;
    std::function<std::string()> make;
  } inputs[] = {
      {"segment claim, 511 segments", [] { return testing::segment_claim_beyond_file(511); }},
      {"amplified void tiles", [] { return testing::amplified_lists((1u << 29) - 1, false)[0].bytes; }},
      {"amplified zero-sized calls",
       [] { return testing::amplified_lists((1u << 29) - 1, true)[14].bytes; }},
      {"far pointer chain", [] { return testing::far_pointer_chain(500); }},
      {"100 MB text without NUL", [] { return testing::text_without_nul(100'000'000); }},
      {"1,000,000 empty tiles", [] { return testing::many_empty_tiles(1'000'000); }},
  };
  std::printf("%-30s %12s %14s %8s\n", "input", "bytes", "peak - base", "ratio");
  for (const auto& input : inputs) {
    SCOPED_TRACE(input.name);
    const std::size_t size = measure(input.make());
    const std::size_t peak = vindle_peak_memory(path);
    const std::size_t extra = peak > baseline ? peak - baseline : 0;
    std::printf("%-30s %12zu %14zu %8.2f\n", input.name, size, extra,
                static_cast<double>(extra) / static_cast<double>(size));
    // A small constant plus a small multiple of the input's size.
    EXPECT_LE(extra, (16u << 20) + 4 * size);
  }
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace torv_package
