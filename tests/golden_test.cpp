// The sample package, encoded by `capnp encode` from examples/sample-package.txt and so
// never touched by the library's writer, checked against a model written out by hand and
// against a checked-in JSON document. A field that the reader drops, or fills from a
// neighbour's slot, fails here even when the writer makes the same mistake.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "torv_package/application.hpp"

namespace torv_package {
namespace {

// Every record and every field of examples/sample-package.txt, in the model's order.
const Application& expected_sample() {
  static const Application sample{
      .compiler_version = "sample-compiler 2.3.0",
      .tiles =
          {
              {.physical_tile = 0,
               .entry_point = 0x4c000,
               .command_address = 0x4c100,
               .diagnostic_address = 0x4c200,
               .segments =
                   {
                       {.address = 0x4c000,
                        .memory_size = 0x100,
                        .data = {0x00, 0x00, 0xa0, 0xe3, 0x1e, 0xff, 0x2f, 0xe1},
                        .flags = 5},
                       {.address = 0x50000,
                        .memory_size = 16,
                        .data = {0x78, 0x56, 0x34, 0x12, 0xef, 0xbe, 0xad, 0xde, 0x01},
                        .flags = 6},
                       {.address = 0x60000,
                        .memory_size = 0x20,
                        .data = {0x00, 0x00, 0x80, 0x3f, 0x00, 0x00, 0x00, 0x40,
                                 0x00, 0x00, 0x40, 0x40, 0x00, 0x00, 0x80, 0x40,
                                 0x00, 0x00, 0xa0, 0x40, 0x00, 0x00, 0xc0, 0x40},
                        .flags = 0},
                       {.address = 0x70000, .memory_size = 0x1000, .data = {}, .flags = 0},
                   }},
              {.physical_tile = 1,
               .entry_point = 0x4c004,
               .command_address = 0x4c020,
               .diagnostic_address = 0x4c030,
               .segments =
                   {
                       {.address = 0x4c000, .memory_size = 0x40, .data = {1, 2, 3, 4}, .flags = 0},
                       {.address = 0xe7ff0,
                        .memory_size = 0x10,
                        .data = {0x11, 0x11, 0x11, 0x11, 0x22, 0x22, 0x22, 0x22,
                                 0x33, 0x33, 0x33, 0x33, 0x44, 0x44, 0x44, 0x44},
                        .flags = 0},
                   }},
              {.physical_tile = 1471,
               .entry_point = 0,
               .command_address = 0,
               .diagnostic_address = 0,
               .segments = {}},
          },
      .inputs = {{.name = "image",
                  .dtype = "float16",
                  .shape = {1, 3, 8, 8},
                  .slices = {{.tile = 0, .tile_address = 0x60000, .file_offset = 0, .size = 0x18},
                             {.tile = 1, .tile_address = 0x80000, .file_offset = 0x18, .size = 0x168}}}},
      .outputs = {{.name = "logits",
                   .dtype = "float32",
                   .shape = {1, 10},
                   .slices = {{.tile = 1, .tile_address = 0x90000, .file_offset = 0, .size = 40}}}},
      .weights = {{.name = "conv0.weight",
                   .dtype = "float16",
                   .shape = {16, 3, 3, 3},
                   .slices = {{.tile = 0,
                               .tile_address = 0x68000,
                               .file_offset = 0x100000000,
                               .size = 0x360}}}},
      .host_exchange =
          {.startup_mark = 0x5a5a,
           .command_page = 1,
           .command_offset = 0xffc,
           .pages = {{.index = 1, .size = 0x1000}, {.index = 2, .size = 0x10000}},
           .attach_order = {2, 1, 2},
           .calls = {{.name = "infer",
                      .command = 1,
                      .phases = 2,
                      .inputs = {{.page = 2, .page_offset = 0, .file_offset = 0, .size = 0x100},
                                 {.page = 2, .page_offset = 0x200, .file_offset = 0x100, .size = 0x80}},
                      .outputs = {{.page = 2, .page_offset = 0x8000, .file_offset = 0, .size = 40}},
                      .invocations = 4,
                      .input_batch_ends = {1, 2},
                      .output_batch_ends = {1}}}},
      .entry_points = {{.name = "main", .command = 1, .external_syncs = 2}},
      .device_config_writes = {{.offset = 0, .value = 1}, {.offset = 0x40, .value = 0xff}},
      .profile_tiles =
          {
              {.physical_tile = 0,
               .steps =
                   {
                       {.local_index = 0,
                        .phase = 0,
                        .epoch = 0,
                        .operation = "load",
                        .kind = ProfileStepKind::Exchange,
                        .kernel = "",
                        .metadata = {},
                        .exchange_activities = {{.kind = ProfileExchangeActivityKind::Send,
                                                 .start_cycle = 8,
                                                 .end_cycle = 60},
                                                {.kind = ProfileExchangeActivityKind::Receive,
                                                 .start_cycle = 64,
                                                 .end_cycle = 120}},
                        .exchange_event_cycles = 120},
                       {.local_index = 1,
                        .phase = 2,
                        .epoch = 0,
                        .operation = "conv0",
                        .kind = ProfileStepKind::Compute,
                        .kernel = "conv3x3",
                        .metadata = {{.name = "flops", .value = "27648"},
                                     {.name = "note", .value = "3\u00d73 \"same\" padding"}},
                        .exchange_activities = {},
                        .exchange_event_cycles = 0},
                       {.local_index = 2,
                        .phase = 3,
                        .epoch = 1,
                        .operation = "barrier",
                        .kind = ProfileStepKind::Synchronization,
                        .kernel = "",
                        .metadata = {},
                        .exchange_activities = {},
                        .exchange_event_cycles = 16},
                   }},
              {.physical_tile = 1,
               .steps = {{.local_index = 0,
                          .phase = 1,
                          .epoch = 0,
                          .operation = "wait",
                          .kind = ProfileStepKind::Idle,
                          .kernel = "",
                          .metadata = {},
                          .exchange_activities = {},
                          .exchange_event_cycles = 0}}},
          },
      .debug_symbols = {{.name = "main", .address = 0x4c000}, {.name = "weights", .address = 0x68000}},
      .debug_regions = {{.physical_tile = 0, .address = 0x60000, .size = 0x100, .name = "activations"},
                        {.physical_tile = all_tiles, .address = 0x4c000, .size = 0x100, .name = "runtime stub"},
                        {.physical_tile = 1, .address = 0x80000, .size = 0x200, .name = "input buffer"}},
  };
  return sample;
}

// Element by element, so that a failure names the record that differs.
template <class T>
void expect_records(const char* name, const std::vector<T>& got, const std::vector<T>& want) {
  ASSERT_EQ(got.size(), want.size()) << name;
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_TRUE(got[i] == want[i]) << name << "[" << i << "] differs from the sample's text form";
  }
}

TEST(GoldenSample, ReadsIntoTheHandWrittenModel) {
  const auto read = Application::read_file(SAMPLE_PACKAGE);
  ASSERT_TRUE(read) << read.error().debug_string();
  const Application& want = expected_sample();
  EXPECT_EQ(read->compiler_version, want.compiler_version);
  expect_records("tiles", read->tiles, want.tiles);
  expect_records("inputs", read->inputs, want.inputs);
  expect_records("outputs", read->outputs, want.outputs);
  expect_records("weights", read->weights, want.weights);
  EXPECT_TRUE(read->host_exchange == want.host_exchange) << "host_exchange differs";
  expect_records("entry_points", read->entry_points, want.entry_points);
  expect_records("device_config_writes", read->device_config_writes, want.device_config_writes);
  expect_records("profile_tiles", read->profile_tiles, want.profile_tiles);
  expect_records("debug_symbols", read->debug_symbols, want.debug_symbols);
  expect_records("debug_regions", read->debug_regions, want.debug_regions);
  EXPECT_TRUE(*read == want) << "the model differs outside the members compared above";
}

// The first line where `got` and `want` part, both shown, for a failure message.
std::string first_difference(const std::string& got, const std::string& want) {
  std::istringstream g(got), w(want);
  std::string got_line, want_line;
  for (int line = 1;; ++line) {
    const bool more_got = static_cast<bool>(std::getline(g, got_line));
    const bool more_want = static_cast<bool>(std::getline(w, want_line));
    if (!more_got && !more_want) return "the documents differ only in their final newline\n";
    if (!more_got || !more_want || got_line != want_line) {
      return "first difference at line " + std::to_string(line) + ":\n  output: " +
             (more_got ? got_line : "(end of output)") + "\n  golden: " +
             (more_want ? want_line : "(end of file)") + "\n";
    }
  }
}

std::string slurp(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(GoldenSample, JsonWithHexDataMatchesTheGoldenFile) {
  const std::string command =
      std::string("'") + TORV_PACKAGE_PATH + "' json --data=hex '" + SAMPLE_PACKAGE + "'";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr) << command;
  std::string output;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;) output.append(buffer, n);
  EXPECT_EQ(pclose(pipe), 0) << command;

  const std::string golden = slurp(GOLDEN_JSON);
  ASSERT_FALSE(golden.empty()) << "cannot read " << GOLDEN_JSON;
  EXPECT_TRUE(output == golden)
      << "`torv-package json --data=hex` of the sample differs from " << GOLDEN_JSON << "\n"
      << first_difference(output, golden)
      << "If the change is intended (the sample or the JSON form changed), regenerate it with\n"
      << "  " << command << " > " << GOLDEN_JSON << "\nand review the difference before committing.";
}

}  // namespace
}  // namespace torv_package
