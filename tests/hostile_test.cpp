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
#include <vector>

#include <fmt/format.h>

#include <gtest/gtest.h>

#include "hostile_inputs.hpp"
#include "package_writer.hpp"
#include "sample_package.hpp"
#include "torv_package/view.hpp"

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
  expect_capnp_error(read_bytes(testing::package_with_segments(512)),
                     "message has 512 segments; at most 511 are allowed");
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
  // Found as the first text is read, not by the framing.
  const auto unterminated = read_bytes(testing::text_without_nul(1 << 20));
  ASSERT_NO_FATAL_FAILURE(expect_capnp_error(unterminated));
  EXPECT_EQ(unterminated.error().location(), "compiler_version");
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

// Well-formed packages that expand: each reads, or is refused before it allocates.
TEST(HostileInput, ExpandingPackagesReadOrAreRefusedByTheBudget) {
  const struct {
    const char* name;
    std::function<std::string()> make;
    std::size_t entry_points;  // 0: refused by the memory budget
  } cases[] = {
      {"1,000,000 empty host calls", [] { return testing::canonical_default_records("host_exchange.calls", 1'000'000); }, 0},
      {"3,000,000 empty host calls, padded",
       [] { return testing::canonical_default_records("host_exchange.calls", 3'000'000, 2'000'000); }, 0},
      {"1,000 segments sharing 1 MB of data", [] { return testing::shared_segment_data(1000, 1 << 20); }, 0},
      {"100,000 default entry points",
       [] { return testing::canonical_default_records("entry_points", 100'000); }, 100'000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = read_bytes(c.make());
    if (c.entry_points == 0) {
      expect_capnp_error(result, "bytes of memory, the most a message of");
    } else {
      ASSERT_TRUE(result) << debug_of(result);
      EXPECT_EQ(result->entry_points.size(), c.entry_points);
      EXPECT_EQ(result->entry_points.back(), (EntryPoint{"", 0, 0}));
    }
  }
}

TEST(HostileInput, CollidingTileNumbersValidate) {
  // Every number a multiple of a standard hash table's bucket count; the answers must be
  // those of sequential numbers.
  const auto colliding = read_bytes(testing::serialize(testing::tiles_with_stride(60'000, 62233, 30'000)));
  ASSERT_TRUE(colliding) << debug_of(colliding);
  Application duplicate = testing::tiles_with_stride(60'000, 62233, 1);
  duplicate.tiles.push_back(duplicate.tiles[59'999]);
  EXPECT_EQ(duplicate.validate().error().debug_string(),
            R"(Invalid("duplicate physical tile 3733917767"))");
}

struct ToolRun {
  std::size_t peak_bytes;
  int status;  // exit status, or 1000 + signal number
  std::size_t output_bytes;  // standard output and error together
  std::string output_head;   // their first 64 KiB
};

// Runs `argv`, under an address-space limit when `address_space` is not 0, with its output
// in a file. Started with fork, not a vfork-style spawn: a child sharing this process's
// memory at exec would inherit this process's peak as its own.
ToolRun run_tool(const std::vector<std::string>& argv, rlim_t address_space = 0) {
  const std::filesystem::path output =
      std::filesystem::temp_directory_path() / ("torv_hostile_out_" + std::to_string(getpid()));
  malloc_trim(0);
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, 1);
    dup2(out, 2);
    if (address_space != 0) {
      const rlimit limit{address_space, address_space};
      setrlimit(RLIMIT_AS, &limit);
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  std::error_code ignored;
  const auto output_bytes = static_cast<std::size_t>(std::filesystem::file_size(output, ignored));
  std::string head(64 << 10, '\0');
  head.resize(static_cast<std::size_t>(std::ifstream(output, std::ios::binary).read(head.data(), head.size()).gcount()));
  std::filesystem::remove(output, ignored);
  return {static_cast<std::size_t>(usage.ru_maxrss) * 1024,
          WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status), output_bytes, std::move(head)};
}

ToolRun run_vindle(const std::filesystem::path& path, rlim_t address_space = 0) {
  return run_tool({VINDLE_PATH, path.string(), "0"}, address_space);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

class VindleLimits : public ::testing::Test {
 protected:
  void SetUp() override {
    if (sanitized) GTEST_SKIP() << "sanitizer shadow memory hides the reader's own use";
  }
  void TearDown() override { std::filesystem::remove(path_); }
  // Writes the input to the file; it is dropped before vindle starts.
  std::size_t put(const std::string& bytes) {
    std::ofstream(path_, std::ios::binary) << bytes;
    return bytes.size();
  }
  const std::filesystem::path path_ = std::filesystem::temp_directory_path() /
                                      ("torv_hostile_" + std::to_string(getpid()));
};

TEST_F(VindleLimits, PeakMemoryStaysWithinTheBudget) {
  const struct {
    const char* name;
    std::function<std::string()> make;
    int status;
  } inputs[] = {
      {"segment claim, 511 segments", [] { return testing::segment_claim_beyond_file(511); }, 101},
      {"amplified void tiles", [] { return testing::amplified_lists((1u << 29) - 1, false)[0].bytes; }, 101},
      {"amplified zero-sized calls",
       [] { return testing::amplified_lists((1u << 29) - 1, true)[14].bytes; }, 101},
      {"far pointer chain", [] { return testing::far_pointer_chain(500); }, 101},
      {"100 MB text without NUL", [] { return testing::text_without_nul(100'000'000); }, 101},
      {"1,000,000 empty tiles", [] { return testing::many_empty_tiles(1'000'000); }, 0},
      {"1,000,000 empty host calls", [] { return testing::canonical_default_records("host_exchange.calls", 1'000'000); }, 101},
      {"3,000,000 host calls, padded",
       [] { return testing::canonical_default_records("host_exchange.calls", 3'000'000, 2'000'000); }, 101},
      // Expands about 100,000-fold, to just under the budget's floor, and reads.
      {"800,000 default entry points", [] { return testing::canonical_default_records("entry_points", 800'000); }, 0},
      {"1,000 segments sharing 1 MB of data", [] { return testing::shared_segment_data(1000, 1 << 20); }, 101},
      // Within the budget, and refused by validation, whose working set must stay small.
      {"4,000,000 default config writes",
       [] { return testing::canonical_default_records("device_config_writes", 4'000'000); }, 101},
  };
  std::printf("%-32s %12s %12s %8s\n", "input", "bytes", "peak", "status");
  for (const auto& input : inputs) {
    SCOPED_TRACE(input.name);
    const std::size_t size = put(input.make());
    const ToolRun run = run_vindle(path_);
    std::printf("%-32s %12zu %12zu %8d\n", input.name, size, run.peak_bytes, run.status);
    EXPECT_EQ(run.status, input.status);
    EXPECT_LE(run.peak_bytes, (std::size_t{64} << 20) + 4 * size);
    EXPECT_EQ(run_vindle(path_, 400'000 * 1024).status, input.status)
        << "the same outcome under an address-space limit of 400,000 KiB";
  }
}

// A name as long as the package, quoted by the refusal: each tool's peak stays within the
// bound and its report stays short, however the name is escaped on its way.
TEST_F(VindleLimits, LongNamesInRefusalsStayWithinTheBound) {
  const struct {
    const char* tool;
    std::vector<std::string> argv;
    int status;
  } tools[] = {
      {"vindle", {VINDLE_PATH, path_.string(), "0"}, 101},
      {"check", {TORV_PACKAGE_PATH, "check", path_.string()}, 1},
      {"info", {TORV_PACKAGE_PATH, "info", path_.string()}, 2},
#ifdef TORV_PYTHON
      {"python",
       {TORV_PYTHON, "-c",
        "import sys; sys.path.insert(0, sys.argv[2]); import torv_package\n"
        "try: torv_package.read(sys.argv[1])\n"
        "except torv_package.PackageError as e: print(e); sys.exit(3)",
        path_.string(), TORV_PYTHON_MODULE_DIR},
       3},
#endif
  };
  std::printf("%-8s %12s %12s %8s %8s\n", "tool", "bytes", "peak", "status", "output");
  for (const std::size_t name_bytes : {std::size_t{10'000'000}, std::size_t{40'000'000}}) {
    const std::size_t size = put(testing::long_binding_name(name_bytes));
    for (const auto& tool : tools) {
      SCOPED_TRACE(fmt::format("{}, {} byte name", tool.tool, name_bytes));
      const ToolRun run = run_tool(tool.argv);
      std::printf("%-8s %12zu %12zu %8d %8zu\n", tool.tool, size, run.peak_bytes, run.status, run.output_bytes);
      EXPECT_EQ(run.status, tool.status);
      EXPECT_LE(run.peak_bytes, (std::size_t{64} << 20) + 4 * size);
      EXPECT_LE(run.output_bytes, std::size_t{16} << 10);
    }
  }
}

// The same name in a valid package, shown by info in its column, and by diff in full
// (six bytes a character), against a package with a short one: written as it is escaped,
// never held whole.
TEST_F(VindleLimits, LongNamesInValidPackagesStayWithinTheBound) {
  const std::size_t size = put(testing::long_binding_name(10'000'000, true));
  const std::filesystem::path other = path_.string() + ".short";
  std::ofstream(other, std::ios::binary) << testing::long_binding_name(1, true);
  const std::size_t both = size + std::filesystem::file_size(other);
  const struct {
    const char* tool;
    std::vector<std::string> argv;
    int status;
    std::size_t inputs;
    std::size_t most_output;
  } tools[] = {
      {"info", {TORV_PACKAGE_PATH, "info", path_.string()}, 0, size, std::size_t{4} << 10},
      {"diff", {TORV_PACKAGE_PATH, "diff", other.string(), path_.string()}, 1, both, std::size_t{61} << 20},
      {"diff --json", {TORV_PACKAGE_PATH, "diff", "--json", other.string(), path_.string()}, 1, both,
       std::size_t{122} << 20},
  };
  for (const auto& tool : tools) {
    SCOPED_TRACE(tool.tool);
    const ToolRun run = run_tool(tool.argv);
    EXPECT_EQ(run.status, tool.status);
    EXPECT_LE(run.peak_bytes, (std::size_t{64} << 20) + 4 * tool.inputs);
    EXPECT_LE(run.output_bytes, tool.most_output);
  }
  std::filesystem::remove(other);
}

TEST_F(VindleLimits, AllocationFailureIsAReportNotASignal) {
  // Within the budget (a 32 MB model), but not within 30 MB of address space.
  put(testing::canonical_default_records("entry_points", 800'000));
  EXPECT_EQ(run_vindle(path_, 30u << 20).status, 101);
}

// Every command, and the Python module's open, over packages that name far more records
// than they hold (lists pointing at one list, lists of records of no size) or that are
// large and valid: each refuses with read's error at read's location, or finishes within
// 64 MiB + 4 x its input (both inputs for diff), and none ends by a signal, also when an
// address-space limit leaves it short of memory: running out is then a report.
TEST_F(VindleLimits, EveryCommandRefusesAsReadDoesOrStaysWithinTheBound) {
  const struct {
    const char* name;
    std::function<std::string()> make;
  } shapes[] = {
      {"8,380,000 zero-sized inputs",
       [] {
         for (auto& list : testing::amplified_lists(8'380'000, true)) {
           if (list.field == "inputs") return std::move(list.bytes);
         }
         return std::string();
       }},
      {"1,472 tiles sharing 5,600 segments", [] { return testing::aliased_segment_lists(1472, 5600); }},
      {"100 tiles sharing 2,000 segments", [] { return testing::aliased_segment_lists(100, 2000); }},
      {"250 inputs sharing 8,000 slices", [] { return testing::aliased_slice_lists(250, 8000); }},
      {"60 inputs sharing 8,000 slices", [] { return testing::aliased_slice_lists(60, 8000); }},
      {"10,000 segments and slices", [] { return testing::serialize(testing::segments_and_slices(10'000)); }},
      {"20,000 tiles numbered k x 85229",
       [] { return testing::serialize(testing::tiles_with_stride(20'000, 85229, 0)); }},
      {"800,000 default entry points", [] { return testing::canonical_default_records("entry_points", 800'000); }},
  };
  using Argv = std::function<std::vector<std::string>(const std::string&)>;
  const auto tool = [](std::vector<std::string> args) -> Argv {
    return [args](const std::string& path) {
      std::vector<std::string> argv{TORV_PACKAGE_PATH};
      argv.insert(argv.end(), args.begin(), args.end());
      argv.push_back(path);
      return argv;
    };
  };
  // An address-space limit a few MiB above what a tool needs to start, so that the larger
  // shapes run out part way.
  constexpr rlim_t tight = 20u << 20;
  const struct {
    const char* name;
    Argv argv;
    int refused;  // the status of a refusal
    bool json = false;  // the error as JSON members
    std::size_t inputs = 1;
    rlim_t address_space = tight;  // 0: not run under a limit
  } commands[] = {
      {"info", tool({"info"}), 2},
      {"info --json --all", tool({"info", "--json", "--all"}), 2},
      {"check", tool({"check"}), 1},
      {"check --all", tool({"check", "--all"}), 1},
      {"check --all --json", tool({"check", "--all", "--json"}), 1, true},
      {"json", tool({"json"}), 2},
      {"json --data=hex --compact", tool({"json", "--data=hex", "--compact"}), 2},
      {"json --data=base64", tool({"json", "--data=base64"}), 2},
      {"json --data=none", tool({"json", "--data=none"}), 2},
      {"diff with itself",
       [](const std::string& path) { return std::vector<std::string>{TORV_PACKAGE_PATH, "diff", path, path}; }, 2,
       false, 2},
      {"map", tool({"map"}), 2},
      // The last input's bytes, or for a package without inputs the first tile's memory.
      {"extract",
       [](const std::string& path) {
         std::vector<std::string> argv{TORV_PACKAGE_PATH, "extract", path, "--tile", "0"};
         if (const auto view = PackageView::open(path); view && !view->inputs().empty()) {
           argv = {TORV_PACKAGE_PATH, "extract", path, "--binding", std::string(view->inputs().back().name())};
         } else if (view && !view->tiles().empty()) {
           argv.back() = std::to_string(view->tiles()[0].physical_tile());
         }
         return argv;
       },
       2},
#ifdef TORV_PYTHON
      {"python open",
       [](const std::string& path) {
         return std::vector<std::string>{
             TORV_PYTHON, "-c",
             "import sys; sys.path.insert(0, sys.argv[2]); import torv_package\n"
             "try: torv_package.open(sys.argv[1])\n"
             "except torv_package.PackageError as e:\n"
             "  print(e); sys.exit(3)",
             path, TORV_PYTHON_MODULE_DIR};
       },
       3, false, 1, 0},  // the interpreter alone needs more than the tools
#endif
  };
  std::size_t ran_out = 0;  // limited runs that ended otherwise than without the limit
  for (const auto& shape : shapes) {
    const std::size_t size = put(shape.make());
    // Read's error as the commands show it, in text (as Python's str() does) and in JSON,
    // or empty for a package.
    std::string refusal, json_refusal;
    if (const auto read = Application::read_file(path_); !read) {
      const PackageError& error = read.error();
      refusal = error.location().empty() ? error.message()
                                         : fmt::format("{}: {}", error.location(), error.message());
      std::string debug;
      for (const char c : error.debug_string()) debug += c == '"' || c == '\\' ? std::string{'\\', c} : std::string{c};
      json_refusal = fmt::format(R"("location":"{}","debug":"{}")", error.location(), debug);
    }
    for (const auto& command : commands) {
      SCOPED_TRACE(fmt::format("{}: {}", shape.name, command.name));
      const ToolRun run = run_tool(command.argv(path_.string()));
      EXPECT_EQ(run.status, refusal.empty() ? 0 : command.refused) << run.output_head.substr(0, 2000);
      if (!refusal.empty()) {
        EXPECT_NE(run.output_head.find(command.json ? json_refusal : refusal), std::string::npos)
            << run.output_head.substr(0, 2000);
      }
      EXPECT_LE(run.peak_bytes, (std::size_t{64} << 20) + 4 * command.inputs * size);
      // Refusals come before anything is allocated; a package is also run short of memory,
      // where a command reports it (the library's errors say "memory" or "cannot
      // allocate") or does what it did without the limit.
      if (command.address_space == 0 || !refusal.empty()) continue;
      const ToolRun limited = run_tool(command.argv(path_.string()), command.address_space);
      EXPECT_LT(limited.status, 1000) << "ended by a signal under an address-space limit";
      if (limited.status != run.status) {
        ++ran_out;
        EXPECT_TRUE(limited.output_head.find("memory") != std::string::npos ||
                    limited.output_head.find("cannot allocate") != std::string::npos)
            << limited.output_head.substr(0, 2000);
      }
    }
  }
  EXPECT_GT(ran_out, 0u) << "the address-space limit never bit";
}

// What extract and the Python lookups expand a package into: a tile's window from a
// million tiles, a binding shared by hundreds, and slices adding up past the budget, which
// are refused with a report before anything is allocated.
TEST_F(VindleLimits, ExtractAndLookupsStayWithinTheBound) {
  Application over_budget;
  over_budget.tiles.push_back(TileImage{0, 0, 0, 0, {}});
  over_budget.inputs.push_back(
      Binding{"big", "u8", {}, std::vector<RegionSlice>(2000, RegionSlice{0, tile_memory_base, 0, tile_memory_size})});
  const std::string over = testing::serialize(over_budget);
  const auto extract = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {TORV_PACKAGE_PATH, "extract", path_.string()});
    return args;
  };
  const struct {
    const char* name;
    std::string bytes;
    std::vector<std::string> argv;
    int status;
    std::string output;  // what the output starts with, or its size in bytes
  } runs[] = {
      {"1,000,000 empty tiles", testing::many_empty_tiles(1'000'000), extract({"--tile", "999999"}), 0,
       std::to_string(tile_memory_size)},
      {"60 inputs sharing 8,000 slices", testing::aliased_slice_lists(60, 8000), extract({"--binding", "b59"}), 0,
       std::to_string(8000 * 16)},
      {"2,000 full windows", over, extract({"--binding", "big"}), 1,
       fmt::format("torv-package: {}: inputs[0]: binding big holds more than ", path_.string())},
      {"2,000 full windows, as .npy", over, extract({"--binding", "big", "--npy", "-o", path_.string() + ".npy"}), 1,
       fmt::format("torv-package: {}: inputs[0]: binding big holds more than ", path_.string())},
#ifdef TORV_PYTHON
      {"2,000 full windows, in Python", over,
       {TORV_PYTHON, "-c",
        "import sys; sys.path.insert(0, sys.argv[2]); import torv_package\n"
        "try: torv_package.open(sys.argv[1]).binding_bytes('big')\n"
        "except torv_package.PackageError as e: print(e); sys.exit(3)",
        path_.string(), TORV_PYTHON_MODULE_DIR},
       3, "inputs[0]: binding big holds more than "},
#endif
  };
  for (const auto& run : runs) {
    SCOPED_TRACE(run.name);
    const std::size_t size = put(run.bytes);
    const ToolRun done = run_tool(run.argv);
    EXPECT_EQ(done.status, run.status) << done.output_head.substr(0, 2000);
    if (run.status == 0) {
      EXPECT_EQ(std::to_string(done.output_bytes), run.output);
    } else {
      EXPECT_TRUE(done.output_head.starts_with(run.output)) << done.output_head.substr(0, 2000);
    }
    EXPECT_LE(done.peak_bytes, (std::size_t{64} << 20) + 4 * size);
  }
  EXPECT_FALSE(std::filesystem::exists(path_.string() + ".npy"));
}

}  // namespace
}  // namespace torv_package
