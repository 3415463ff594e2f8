#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <capnp/any.h>
#include <capnp/message.h>
#include <capnp/serialize.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <kj/io.h>

#include "hostile_inputs.hpp"
#include "package_writer.hpp"
#include "sample_package.hpp"
#include "view_agreement.hpp"
#include "torv_package/application.hpp"
#include "torv_package/events.hpp"

namespace torv_package {
namespace {

using testing::Header;
using testing::MessageBytes;
using testing::read_bytes;
using testing::serialize;
using testing::valid_application;

std::string debug_of(const Result<Application>& result) {
  return result ? std::string("success") : result.error().debug_string();
}

// Records every event; registered for the lifetime of a test.
class RecordingSink : public events::Sink {
 public:
  struct Recorded {
    events::Level level;
    std::string target, module_path, name, message;
    std::vector<events::Field> fields;
  };

  RecordingSink() { previous_ = events::set_sink(this); }
  ~RecordingSink() override { events::set_sink(previous_); }

  bool enabled(events::Level, std::string_view) const noexcept override { return true; }
  void record(const events::Event& e) override {
    recorded.push_back({e.level, std::string(e.target), std::string(e.module_path),
                        std::string(e.name), std::string(e.message), e.fields});
  }

  std::vector<Recorded> recorded;

 private:
  events::Sink* previous_;
};

struct HeaderCase {
  const char* name;
  Header header;
  std::string expected;
};

TEST(ReadPackage, HeaderTest) {
  const std::string incompatible = R"(Invalid("incompatible package header"))";
  // Built one by one: GCC 12 misreports optionals in an aggregate array as uninitialised.
  std::vector<HeaderCase> cases;
  const auto add = [&](const char* name, std::uint32_t version, std::optional<std::string> target,
                       std::uint32_t base, std::uint32_t size, const std::string& expected) {
    cases.push_back(HeaderCase{name, Header{version, std::move(target), base, size}, expected});
  };
  add("version_3_bad_target_not_read", 3, "\xff", 0x4c000, 0x9c000, incompatible);
  add("version_5", 5, "torv21", 0x4c000, 0x9c000, incompatible);
  add("bad_utf8_target", 4, "to\xffrv", 0x4c000, 0x9c000,
      "Utf8(Utf8Error { valid_up_to: 2, error_len: Some(1) })");
  add("target_case", 4, "TORV21", 0x4c000, 0x9c000, incompatible);
  add("target_trailing_blank", 4, "torv21 ", 0x4c000, 0x9c000, incompatible);
  add("target_absent", 4, std::nullopt, 0x4c000, 0x9c000, incompatible);
  add("target_with_nul", 4, std::string("torv21\0", 7), 0x4c000, 0x9c000, incompatible);
  add("base_off", 4, "torv21", 0x4c001, 0x9c000, incompatible);
  add("size_one_above", 4, "torv21", 0x4c000, 0x9c001, incompatible);
  add("bad_header_before_bad_text", 4, "torv21", 0x4c000, 0, incompatible);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Application app = valid_application();
    app.compiler_version = "\xff";  // read only after the header passes
    EXPECT_EQ(debug_of(read_bytes(serialize(app, c.header))), c.expected);
  }
}

// The package built by `mutate` from the small valid one.
std::string mutated(const std::function<void(Application&)>& mutate, const Header& header = {}) {
  Application app = valid_application();
  mutate(app);
  return serialize(app, header);
}

// Packages with two faults, where the reading order decides which one is reported, and
// one case for each kind of place the reader names. Location and debug form together; an
// empty debug form stands for a Cap'n Proto failure, whose wording is Cap'n Proto's.
TEST(ReadPackage, FirstFaultInReadingOrderNamesItsPlace) {
  using App = schema::Application::Builder;
  const auto bad = [](std::string& text) { text = "ok\xff"; };  // valid_up_to 2
  const std::string utf8 = "Utf8(Utf8Error { valid_up_to: 2, error_len: Some(1) })";
  const std::string header = R"(Invalid("incompatible package header"))";
  const auto step = [](Application& a) -> ProfileStep& { return a.profile_tiles[0].steps[1]; };
  const auto kind = [](std::uint16_t k) { return static_cast<ProfileStepKind>(k); };
  const struct {
    const char* name;
    std::function<std::string()> bytes;
    std::string location, debug;
  } cases[] = {
      {"version_first", [] { return serialize(valid_application(), Header{3, "x", 0, 0}); },
       "schema_version", header},
      {"target_before_base_and_size", [] { return serialize(valid_application(), Header{4, "TORV21", 0, 0}); },
       "target", header},
      {"target_text", [] { return serialize(valid_application(), Header{4, "ok\xff"}); }, "target", utf8},
      {"base_before_size", [] { return serialize(valid_application(), Header{4, "torv21", 0, 0}); },
       "tile_memory_base", header},
      {"size", [] { return serialize(valid_application(), Header{4, "torv21", 0x4c000, 0}); },
       "tile_memory_size", header},
      {"compiler_version_before_tiles",
       [&] {
         Application a = valid_application();
         bad(a.compiler_version);
         return testing::with_bad_pointer(a, [](App r) { return capnp::AnyStruct::Builder(kj::mv(r)); }, 2);
       },
       "compiler_version", utf8},
      {"capnp_inside_a_field",
       [] {
         return testing::with_bad_pointer(
             valid_application(), [](App r) { return capnp::AnyStruct::Builder(r.getTiles()[1].getSegments()[0]); }, 0);
       },
       "tiles[1].segments[0].data", ""},
      {"name_before_dtype", [&] { return mutated([&](Application& a) { bad(a.inputs[0].dtype); a.inputs[0].name = "\xc0"; }); },
       "inputs[0].name", "Utf8(Utf8Error { valid_up_to: 0, error_len: Some(1) })"},
      {"outputs_before_weights",
       [&] { return mutated([&](Application& a) { bad(a.weights[0].name); bad(a.outputs[0].dtype); }); },
       "outputs[0].dtype", utf8},
      {"host_exchange_before_entry_points_and_profile",
       [&] {
         return mutated([&](Application& a) {
           bad(a.host_exchange.calls[0].name);
           bad(a.entry_points[0].name);
           step(a).kind = kind(4);
         });
       },
       "host_exchange.calls[0].name", utf8},
      {"entry_points_before_profile",
       [&] { return mutated([&](Application& a) { bad(a.entry_points[0].name); step(a).kind = kind(4); }); },
       "entry_points[0].name", utf8},
      {"operation_before_kind",
       [&] { return mutated([&](Application& a) { bad(step(a).operation); step(a).kind = kind(4); }); },
       "profile_tiles[0].steps[1].operation", utf8},
      {"kind_before_kernel",
       [&] { return mutated([&](Application& a) { step(a).kind = kind(4); bad(step(a).kernel); }); },
       "profile_tiles[0].steps[1].kind", "SchemaEnum(NotInSchema(4))"},
      {"metadata_before_activities",
       [&] {
         return mutated([&](Application& a) {
           auto& s = a.profile_tiles[0].steps[0];
           bad(s.metadata[0].value);
           s.exchange_activities[0].kind = static_cast<ProfileExchangeActivityKind>(2);
         });
       },
       "profile_tiles[0].steps[0].metadata[0].value", utf8},
      {"activity_kind",
       [&] {
         return mutated([&](Application& a) {
           a.profile_tiles[0].steps[0].exchange_activities[0].kind = static_cast<ProfileExchangeActivityKind>(2);
         });
       },
       "profile_tiles[0].steps[0].exchange_activities[0].kind", "SchemaEnum(NotInSchema(2))"},
      {"symbols_before_regions",
       [&] { return mutated([&](Application& a) { bad(a.debug_regions[1].name); bad(a.debug_symbols[0].name); }); },
       "debug_symbols[0].name", utf8},
      {"regions", [&] { return mutated([&](Application& a) { bad(a.debug_regions[1].name); }); },
       "debug_regions[1].name", utf8},
      {"validation_passed_on", [] { return mutated([](Application& a) { a.tiles[1].segments[0].address = 0; }); },
       "tiles[1].segments[0]",
       R"(Invalid("invalid segment on tile 7: address=0x0 end=0x100 memory_size=256 data_size=3"))"},
      {"framing_has_no_place", [] { return std::string(); }, "",
       R"(Capnp(Exception { kind: Failed, description: "package file is empty" }))"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = read_bytes(c.bytes());
    EXPECT_EQ(testing::view_disagreement(c.bytes()), std::nullopt);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().location(), c.location);
    if (c.debug.empty()) {
      EXPECT_EQ(result.error().kind(), ErrorKind::Capnp) << result.error().debug_string();
    } else {
      EXPECT_EQ(result.error().debug_string(), c.debug);
    }
  }
}

TEST(ReadPackage, TextFaultsGiveUtf8Numbers) {
  const struct {
    const char* name;
    std::function<void(Application&)> mutate;
    std::string expected;
  } cases[] = {
      {"compiler_three_valid_then_invalid", [](Application& a) { a.compiler_version = "abc\x80"; },
       "Utf8(Utf8Error { valid_up_to: 3, error_len: Some(1) })"},
      {"cut_inside_sequence", [](Application& a) { a.weights[0].dtype = "f\xe2\x82"; },
       "Utf8(Utf8Error { valid_up_to: 1, error_len: None })"},
      {"input_name_before_profile_kind",
       [](Application& a) {
         a.inputs[0].name = "\xc0";
         a.profile_tiles[0].steps[0].kind = static_cast<ProfileStepKind>(9);
       },
       "Utf8(Utf8Error { valid_up_to: 0, error_len: Some(1) })"},
      {"metadata_value", [](Application& a) { a.profile_tiles[0].steps[0].metadata[0].value = "ok\xed\xa0\x80"; },
       "Utf8(Utf8Error { valid_up_to: 2, error_len: Some(1) })"},
      {"debug_region_name", [](Application& a) { a.debug_regions[1].name = "\xf0\x9f\x98"; },
       "Utf8(Utf8Error { valid_up_to: 0, error_len: None })"},
      {"step_kind_7", [](Application& a) { a.profile_tiles[0].steps[0].kind = static_cast<ProfileStepKind>(7); },
       "SchemaEnum(NotInSchema(7))"},
      {"activity_kind_max",
       [](Application& a) {
         a.profile_tiles[0].steps[0].exchange_activities[0].kind = static_cast<ProfileExchangeActivityKind>(65535);
       },
       "SchemaEnum(NotInSchema(65535))"},
      {"reader_faults_before_validation",
       [](Application& a) { a.tiles.clear(); a.debug_symbols[0].name = "\xff"; },
       "Utf8(Utf8Error { valid_up_to: 0, error_len: Some(1) })"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Application app = valid_application();
    c.mutate(app);
    EXPECT_EQ(debug_of(read_bytes(serialize(app))), c.expected);
  }
}

TEST(ReadPackage, AbsentPointersReadAsDefaults) {
  capnp::MallocMessageBuilder message;
  auto root = message.initRoot<schema::Application>();
  root.setSchemaVersion(4);
  root.setTarget("torv21");
  root.setTileMemoryBase(0x4c000);
  root.setTileMemorySize(0x9c000);
  root.initTiles(1)[0].setPhysicalTile(3);
  RecordingSink sink;
  const auto result = read_bytes(testing::to_bytes(message));
  ASSERT_TRUE(result) << debug_of(result);
  Application expected;
  expected.compiler_version = "";
  expected.tiles = {TileImage{3, 0, 0, 0, {}}};
  EXPECT_EQ(*result, expected);
  ASSERT_EQ(sink.recorded.size(), 2u);
  EXPECT_EQ(sink.recorded[1].fields,
            (std::vector<events::Field>{{"tiles", std::uint64_t{1}}, {"compiler", std::string()}}));
}

TEST(ReadPackage, EventsAtEntryAndCompletion) {
  RecordingSink sink;
  ASSERT_TRUE(read_bytes(serialize(valid_application())));
  ASSERT_EQ(sink.recorded.size(), 2u);
  for (const auto& e : sink.recorded) {
    EXPECT_EQ(e.level, events::Level::Info);
    EXPECT_EQ(e.target, "torv_package");
    EXPECT_EQ(e.module_path, "torv_package");
    EXPECT_TRUE(e.name.starts_with("event ") && e.name.find("reader.cpp:") != std::string::npos)
        << e.name;
  }
  EXPECT_EQ(sink.recorded[0].message, "reading application package");
  EXPECT_TRUE(sink.recorded[0].fields.empty());
  EXPECT_EQ(sink.recorded[1].message, "application package read");
  EXPECT_EQ(sink.recorded[1].fields,
            (std::vector<events::Field>{{"tiles", std::uint64_t{2}}, {"compiler", "1.2.3"}}));

  sink.recorded.clear();
  Application no_tiles = valid_application();
  no_tiles.tiles.clear();
  EXPECT_EQ(debug_of(read_bytes(serialize(no_tiles))), R"(Invalid("application has no tiles"))");
  ASSERT_EQ(sink.recorded.size(), 1u) << "no completion event after a validation failure";

  sink.recorded.clear();
  EXPECT_FALSE(read_bytes(""));
  ASSERT_EQ(sink.recorded.size(), 1u);
  EXPECT_EQ(sink.recorded[0].message, "reading application package");
}

TEST(ReadPackage, HostCallInvocationsDefault) {
  // A HostCall whose data section is one word long has no invocations field: it reads as 1.
  Application app = valid_application();
  app.host_exchange.calls.clear();
  capnp::MallocMessageBuilder message;
  auto root = message.initRoot<schema::Application>();
  testing::write_application(app, root);
  auto exchange = capnp::AnyStruct::Builder(root.getHostExchange());
  auto calls = exchange.getPointerSection()[2].initAsListOfAnyStruct(1, 5, 2);
  calls[0].getPointerSection()[0].setAs<capnp::Text>("short");
  calls[1].getPointerSection()[0].setAs<capnp::Text>("zeroed");
  const auto result = read_bytes(testing::to_bytes(message));
  ASSERT_TRUE(result) << debug_of(result);
  ASSERT_EQ(result->host_exchange.calls.size(), 2u);
  EXPECT_EQ(result->host_exchange.calls[0].name, "short");
  EXPECT_EQ(result->host_exchange.calls[0].invocations, 1u);

  app = valid_application();
  app.host_exchange.calls[0].invocations = 0;
  EXPECT_EQ(debug_of(read_bytes(serialize(app))), R"(Invalid("host call fetch has no invocations"))");
}

TEST(ReadPackage, MalformedFramingIsASentence) {
  const std::string good = serialize(valid_application());
  const std::string claimed = std::to_string(good.size() - 8);
  const struct {
    const char* name;
    std::string bytes;
    std::string description;
  } cases[] = {
      {"empty", "", "package file is empty"},
      {"four_bytes", good.substr(0, 4), "segment table is cut short: 4 of 8 bytes"},
      {"zero_first_word", std::string(8, '\0'), "message has no root"},
      {"table_only", good.substr(0, 8), "segment table claims " + claimed + " bytes of segments but only 0 follow it"},
      {"cut_in_segment", good.substr(0, good.size() - 8),
       "segment table claims " + claimed + " bytes of segments but only " + std::to_string(good.size() - 16) + " follow it"},
      {"one_byte_short", good.substr(0, good.size() - 1),
       "segment table claims " + claimed + " bytes of segments but only " + std::to_string(good.size() - 9) + " follow it"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = read_bytes(c.bytes);
    EXPECT_EQ(testing::view_disagreement(c.bytes), std::nullopt);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().debug_string(),
              "Capnp(Exception { kind: Failed, description: \"" + c.description + "\" })");
    EXPECT_EQ(result.error().location(), "");
  }
}

// What follows the message is ignored and counted, from a file and from a stream; a read
// that fails after the open is the system's error, not the package's.
TEST(ReadPackage, TrailingBytesAndReadErrors) {
  const std::string good = serialize(valid_application());
  const auto folder = std::filesystem::temp_directory_path() / ("torv_reader_" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  for (const std::size_t extra : {std::size_t{0}, std::size_t{5}, good.size()}) {
    SCOPED_TRACE(extra);
    const std::string bytes = good + good.substr(0, extra);
    std::ofstream(folder / "p", std::ios::binary) << bytes;
    ReadDetails from_file, from_stream;
    ASSERT_TRUE(Application::read_file(folder / "p", from_file));
    EXPECT_EQ(from_file.message_bytes, good.size());
    EXPECT_EQ(from_file.trailing_bytes, extra);
    ASSERT_TRUE(Application::read(kj::heap<kj::ArrayInputStream>(kj::arrayPtr(
                                      reinterpret_cast<const kj::byte*>(bytes.data()), bytes.size())),
                                  from_stream));
    EXPECT_EQ(from_stream.trailing_bytes, extra);
  }
  const auto folder_read = Application::read_file(folder);
  ASSERT_FALSE(folder_read);
  EXPECT_EQ(folder_read.error().debug_string(), R"(Io(Os { code: 21, message: "Is a directory" }))");
  EXPECT_EQ(folder_read.error().location(), "");
  std::filesystem::remove_all(folder);
}

TEST(ReadPackage, StructPointerWhereListExpected) {
  MessageBytes message(serialize(valid_application()));
  const std::size_t tiles = message.root_pointer(2);
  message.set_word(tiles, message.word(tiles) & ~std::uint64_t{3}, "tiles pointer kind: list -> struct");
  const auto result = read_bytes(message.bytes());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), ErrorKind::Capnp) << result.error().debug_string();

  MessageBytes exchange(serialize(valid_application()));
  const std::size_t slot = exchange.root_pointer(6);
  exchange.set_word(slot, (exchange.word(slot) & ~std::uint64_t{3}) | 1, "hostExchange kind: struct -> list");
  EXPECT_EQ(read_bytes(exchange.bytes()).error().kind(), ErrorKind::Capnp);
}

TEST(ReadPackage, TruncatedSecondSegmentFailsEvenWhenUnreached) {
  // Two segments: the root lives wholly in segment 0; segment 1 claims 4 words, 2 arrive.
  capnp::MallocMessageBuilder builder;
  auto root = builder.initRoot<schema::Application>();
  testing::write_application(valid_application(), root);
  const std::string one = testing::to_bytes(builder);
  const std::uint32_t seg0_words = static_cast<std::uint32_t>(one.size() / 8 - 1);
  std::string two(16, '\0');
  const std::uint32_t table[4] = {1, seg0_words, 4, 0};
  std::memcpy(two.data(), table, 16);
  two += one.substr(8);
  two += std::string(16, '\x5a');
  EXPECT_EQ(read_bytes(two).error().kind(), ErrorKind::Capnp);
  two += std::string(16, '\x5a');
  EXPECT_TRUE(read_bytes(two)) << "the same message with its second segment complete reads";
}

// A stream over bytes that reports how many it handed out and whether it was destroyed.
class CountingStream : public kj::InputStream {
 public:
  CountingStream(std::string_view bytes, std::size_t& consumed, bool& destroyed)
      : bytes_(bytes), consumed_(consumed), destroyed_(destroyed) {}
  ~CountingStream() override { destroyed_ = true; }
  size_t tryRead(void* buffer, size_t min_bytes, size_t max_bytes) override {
    const std::size_t n = std::min(max_bytes, bytes_.size() - consumed_);
    std::memcpy(buffer, bytes_.data() + consumed_, n);
    consumed_ += n;
    (void)min_bytes;
    return n;
  }

 private:
  std::string_view bytes_;
  std::size_t& consumed_;
  bool& destroyed_;
};

TEST(ReadPackage, ConsumesExactlyOneMessageAndReleasesTheStream) {
  const std::string first = serialize(valid_application());
  Application other = valid_application();
  other.compiler_version = "second";
  const std::string both = first + serialize(other);
  for (const std::string& bytes : {both, first + std::string(100, '\xff')}) {
    std::size_t consumed = 0;
    bool destroyed = false;
    const auto result = Application::read(kj::heap<CountingStream>(bytes, consumed, destroyed));
    ASSERT_TRUE(result) << debug_of(result);
    EXPECT_EQ(*result, valid_application());
    EXPECT_EQ(consumed, first.size()) << "left at the start of what follows";
    EXPECT_TRUE(destroyed);
  }
  std::size_t consumed = 0;
  bool destroyed = false;
  EXPECT_FALSE(Application::read(kj::heap<CountingStream>(first.substr(0, 20), consumed, destroyed)));
  EXPECT_TRUE(destroyed) << "released on failure too";
}

class ThrowOnDestroy : public kj::InputStream {
 public:
  explicit ThrowOnDestroy(std::string bytes) : bytes_(std::move(bytes)) {}
  ~ThrowOnDestroy() noexcept(false) override {
    kj::throwFatalException(KJ_EXCEPTION(FAILED, "close failed"));
  }
  size_t tryRead(void* buffer, size_t min_bytes, size_t max_bytes) override {
    return stream_.tryRead(buffer, min_bytes, max_bytes);
  }

 private:
  std::string bytes_;
  kj::ArrayInputStream stream_{kj::ArrayPtr<const kj::byte>(
      reinterpret_cast<const kj::byte*>(bytes_.data()), bytes_.size())};
};

TEST(ReadPackage, ExceptionFromStreamDestructorBecomesCapnp) {
  const auto result = Application::read(kj::heap<ThrowOnDestroy>(serialize(valid_application())));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), ErrorKind::Capnp);
  EXPECT_NE(result.error().debug_string().find("close failed"), std::string::npos);
}

// 16 bytes: one segment claiming `words` words, then one word of data.
std::string segment_claim(std::uint32_t words) {
  std::string bytes(16, '\0');
  const std::uint32_t table[2] = {0, words};
  std::memcpy(bytes.data(), table, 8);
  return bytes;
}

Result<Application> read_through_file(const std::string& bytes) {
  char path[] = "/tmp/torv_claimXXXXXX";
  const int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  lseek(fd, 0, SEEK_SET);
  unlink(path);
  return Application::read(kj::heap<kj::FdInputStream>(kj::AutoCloseFd(fd)));
}

TEST(ReadPackage, SegmentClaimsBeyondTheInputAreSentences) {
  // From memory the claim is read in chunks; from a file its size is known first, so 32 GiB
  // is refused without allocating it. Either way the refusal says what was claimed and
  // what followed, without a location.
  for (const bool from_file : {false, true}) {
    for (const std::uint32_t words : {4096u, 0xffffffffu}) {
      SCOPED_TRACE(fmt::format("{} words{}", words, from_file ? ", from a file" : ""));
      const std::string bytes = segment_claim(words);
      const auto result = from_file ? read_through_file(bytes) : read_bytes(bytes);
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error().debug_string(),
                fmt::format("Capnp(Exception {{ kind: Failed, description: \"segment table claims {} "
                            "bytes of segments but only 8 follow it\" }})",
                            std::uint64_t{words} * 8));
      EXPECT_EQ(result.error().location(), "");
    }
  }
}

// A message of about 100 bytes whose `tiles` list claims 2^29 - 1 elements of no size.
std::string amplified_tiles(bool inline_composite) {
  MessageBytes message(serialize(Application{}));
  const std::size_t slot = message.root_pointer(2);
  if (inline_composite) {
    // The list's one tag word sits right after the message: pointer offset, then the tag.
    const std::size_t end = message.bytes().size() / 8;
    const std::int64_t offset = static_cast<std::int64_t>(end) - static_cast<std::int64_t>(slot) - 1;
    message.bytes() += std::string(8, '\0');
    const std::uint32_t seg0 = static_cast<std::uint32_t>(message.bytes().size() / 8 - message.segment0_start());
    message.set_word(0, std::uint64_t{seg0} << 32, "segment table: one segment, grown by the tag");
    message.set_word(slot, (static_cast<std::uint64_t>(offset) << 2 & 0xffffffff) | 1 |
                                (std::uint64_t{7} << 32),  // composite, 0 words
                     "tiles: inline-composite list of no words");
    message.set_word(end, (std::uint64_t{(1u << 29) - 1} << 2), "tag: 2^29-1 structs of 0 words");
  } else {
    message.set_word(slot, 1 | (std::uint64_t{((1u << 29) - 1) << 3} << 32),
                     "tiles: list of 2^29-1 void elements");
  }
  return message.bytes();
}

TEST(ReadPackage, AmplifiedListsFailFast) {
  for (const bool inline_composite : {false, true}) {
    SCOPED_TRACE(inline_composite ? "zero-sized structs" : "void elements");
    const std::string bytes = amplified_tiles(inline_composite);
    EXPECT_LT(bytes.size(), 400u);
    const auto result = read_bytes(bytes);
    ASSERT_FALSE(result);
    // Refused by Cap'n Proto's traversal bound as the list is reached, before its
    // elements are charged to the memory budget.
    EXPECT_EQ(result.error().kind(), ErrorKind::Capnp) << result.error().debug_string();
    EXPECT_EQ(result.error().location(), "tiles");
    EXPECT_EQ(result.error().debug_string().find("package would take more than"), std::string::npos)
        << result.error().debug_string();
  }
}

TEST(ReadPackage, PackageLargerThanDefaultTraversalLimitReads) {
  Application app;
  // 120 tiles of 600 KiB of data each: about 72 MB, past 8,388,608 words.
  for (std::uint32_t t = 0; t < 120; ++t) {
    std::vector<std::uint8_t> data(600 * 1024);
    for (std::size_t i = 0; i < data.size(); i += 4096) data[i] = static_cast<std::uint8_t>(t + i);
    app.tiles.push_back(TileImage{t, 0, 0, 0, {Segment{0x4c000, 600 * 1024, std::move(data), 0}}});
  }
  const std::string bytes = serialize(app);
  ASSERT_GT(bytes.size() / 8, 8'388'608u);
  const auto result = read_bytes(bytes);
  ASSERT_TRUE(result) << debug_of(result);
  EXPECT_TRUE(*result == app);
}

TEST(ReaderOptions, NoTraversalLimitAndDefaultNesting) {
  const capnp::ReaderOptions options = capnp_reader_options();
  EXPECT_EQ(options.traversalLimitInWords, std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(options.nestingLimit, 64);
}

}  // namespace
}  // namespace torv_package
