#include <cerrno>
#include <sstream>
#include <string>
#include <system_error>

#include <capnp/message.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <kj/exception.h>

#include "package_writer.hpp"
#include "sample_package.hpp"
#include "torv_package/application.hpp"
#include "torv_package/error.hpp"
#include "torv_package/view.hpp"

namespace torv_package {
namespace {

kj::Exception exception(kj::Exception::Type type, const char* description) {
  return kj::Exception(type, __FILE__, __LINE__, kj::heapString(description));
}

struct DebugCase {
  const char* name;
  PackageError error;
  ErrorKind kind;
  std::string expected;
};

TEST(PackageErrorDebugForm, EachVariant) {
  const DebugCase cases[] = {
      {"capnp",
       PackageError(exception(kj::Exception::Type::FAILED,
                              "expected n >= minBytes [0 >= 8]; Premature EOF")),
       ErrorKind::Capnp,
       R"(Capnp(Exception { kind: Failed, description: "expected n >= minBytes [0 >= 8]; Premature EOF" }))"},
      {"capnp_disconnected", PackageError(exception(kj::Exception::Type::DISCONNECTED, "gone")),
       ErrorKind::Capnp, R"(Capnp(Exception { kind: Disconnected, description: "gone" }))"},
      {"capnp_overloaded", PackageError(exception(kj::Exception::Type::OVERLOADED, "")),
       ErrorKind::Capnp, R"(Capnp(Exception { kind: Overloaded, description: "" }))"},
      {"capnp_unimplemented", PackageError(exception(kj::Exception::Type::UNIMPLEMENTED, "x")),
       ErrorKind::Capnp, R"(Capnp(Exception { kind: Unimplemented, description: "x" }))"},
      {"io", PackageError(std::error_code(ENOENT, std::generic_category())), ErrorKind::Io,
       R"(Io(Os { code: 2, message: "No such file or directory" }))"},
      {"utf8_some", PackageError(Utf8Error{3, 1}), ErrorKind::Utf8,
       "Utf8(Utf8Error { valid_up_to: 3, error_len: Some(1) })"},
      {"utf8_none", PackageError(Utf8Error{0, std::nullopt}), ErrorKind::Utf8,
       "Utf8(Utf8Error { valid_up_to: 0, error_len: None })"},
      {"schema_enum", PackageError(NotInSchema{7}), ErrorKind::SchemaEnum,
       "SchemaEnum(NotInSchema(7))"},
      {"schema_enum_max", PackageError(NotInSchema{65535}), ErrorKind::SchemaEnum,
       "SchemaEnum(NotInSchema(65535))"},
      {"invalid", PackageError::invalid("application has no tiles"), ErrorKind::Invalid,
       R"(Invalid("application has no tiles"))"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.error.kind(), c.kind);
    EXPECT_EQ(c.error.debug_string(), c.expected);
    EXPECT_EQ(fmt::format("{}", c.error), c.expected);
    std::ostringstream out;
    out << c.error;
    EXPECT_EQ(out.str(), c.expected);
    EXPECT_FALSE(c.error.message().empty());
  }
}

// The display form of each kind, as the library makes each error from a real read.
TEST(PackageErrorMessage, OneSentencePerKind) {
  using testing::read_bytes;
  using testing::serialize;
  const auto mutated = [](auto change) {
    Application app = testing::valid_application();
    change(app);
    return read_bytes(serialize(app)).error();
  };
  const std::string package = serialize(testing::valid_application());
  const struct {
    const char* name;
    PackageError error;
    std::string sentence;
  } cases[] = {
      {"invalid", Application{}.validate().error(), "application has no tiles"},
      {"io_open", Application::read_file("/nonexistent/p.torv").error(), "cannot open: No such file or directory"},
      {"io_read", Application::read_file(::testing::TempDir()).error(), "cannot read: Is a directory"},
      {"io_unknown", PackageError(std::error_code(EIO, std::generic_category())), "Input/output error"},
      {"capnp", read_bytes(package.substr(0, package.size() - 8)).error(),
       fmt::format("segment table claims {} bytes of segments but only {} follow it", package.size() - 8,
                   package.size() - 16)},
      {"capnp_empty", PackageError(exception(kj::Exception::Type::FAILED, "")), "malformed package message"},
      {"not_a_package", read_bytes("root:x:0:0:root:/root:/bin/bash\n").error(),
       "not a package: message has 1953460083 segments; at most 511 are allowed"},
      {"not_a_package_empty", read_bytes("").error(), "not a package: package file is empty"},
      {"utf8", mutated([](Application& a) { a.inputs[0].name = "ab\xff"; }), "text is not valid UTF-8 after 2 bytes"},
      {"utf8_one", mutated([](Application& a) { a.inputs[0].name = "a\xc3"; }), "text is not valid UTF-8 after 1 byte"},
      {"schema_enum",
       mutated([](Application& a) { a.profile_tiles[0].steps[0].kind = static_cast<ProfileStepKind>(7); }),
       "7 is not a ProfileStepKind"},
      {"schema_enum_activity",
       mutated([](Application& a) {
         a.profile_tiles[0].steps[0].exchange_activities[0].kind = static_cast<ProfileExchangeActivityKind>(2);
       }),
       "2 is not a ProfileExchangeActivityKind"},
      {"schema_enum_unnamed", PackageError(NotInSchema{9}), "9 is not a value of its enum"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.error.message(), c.sentence);
  }
}

TEST(PackageErrorDebugForm, EscapesQuotedStrings) {
  const struct {
    std::string message;
    std::string expected;
  } cases[] = {
      {"say \"hi\"", R"(Invalid("say \"hi\""))"},
      {"back\\slash", R"(Invalid("back\\slash"))"},
      {"tab\there\r\n", R"(Invalid("tab\there\r\n"))"},
      {std::string("nul\0byte", 8), R"(Invalid("nul\0byte"))"},
      {"bell\x07 del\x7f", R"(Invalid("bell\u{7} del\u{7f}"))"},
      {"caf\xc3\xa9 \xe2\x82\xac", "Invalid(\"caf\xc3\xa9 \xe2\x82\xac\")"},
      {"c1\xc2\x85 zwsp\xe2\x80\x8b", R"(Invalid("c1\u{85} zwsp\u{200b}"))"},
      {"bad\xff", R"(Invalid("bad\x{ff}"))"},
      // Combining mark, unassigned, no-break space, line separator, private use, soft hyphen.
      {"e\xcc\x81\xcd\xb8 \xc2\xa0\xe2\x80\xa8\xee\x80\x80\xc2\xad", R"(Invalid("e\u{301}\u{378} \u{a0}\u{2028}\u{e000}\u{ad}"))"},
      // Letters, symbols and emoji with a skin-tone modifier print as they are.
      {"\xce\xbb \xe2\x82\xac \xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd", "Invalid(\"\xce\xbb \xe2\x82\xac \xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd\")"},
      {"", R"(Invalid(""))"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PackageError::invalid(c.message).debug_string(), c.expected);
  }
  const PackageError capnp(
      kj::Exception(kj::Exception::Type::FAILED, __FILE__, __LINE__, kj::heapString("a \"b\"\n")));
  EXPECT_EQ(capnp.debug_string(), R"(Capnp(Exception { kind: Failed, description: "a \"b\"\n" }))");
}

TEST(PackageErrorLocation, KeptBesideTheDebugFormAndCompared) {
  const PackageError plain = PackageError::invalid("application has no tiles");
  const PackageError placed = PackageError::invalid("application has no tiles").at("tiles");
  EXPECT_EQ(plain.location(), "");
  EXPECT_EQ(placed.location(), "tiles");
  EXPECT_EQ(placed.debug_string(), plain.debug_string());
  EXPECT_EQ(fmt::format("{}", placed), R"(Invalid("application has no tiles"))");
  EXPECT_NE(placed, plain) << "equality includes the location";
  EXPECT_EQ(placed, PackageError::invalid("application has no tiles").at("tiles"));
  EXPECT_NE(placed, PackageError::invalid("other").at("tiles"));
  PackageError copy = placed;
  copy = PackageError(NotInSchema{4}).at("profile_tiles[0].steps[0].kind");
  EXPECT_EQ(copy.location(), "profile_tiles[0].steps[0].kind");
}

TEST(PackageErrorValue, CopiesAndAssignsEveryVariant) {
  PackageError a(exception(kj::Exception::Type::FAILED, "first"));
  const PackageError b = a;
  EXPECT_EQ(b.debug_string(), a.debug_string());
  a = PackageError(exception(kj::Exception::Type::FAILED, "second"));
  EXPECT_EQ(a.capnp()->getDescription(), "second");
  EXPECT_EQ(b.capnp()->getDescription(), "first");
  a = PackageError::invalid("now invalid");
  EXPECT_EQ(a.capnp(), nullptr);
  ASSERT_NE(a.invalid_message(), nullptr);
  EXPECT_EQ(*a.invalid_message(), "now invalid");
  a = b;
  EXPECT_EQ(a.kind(), ErrorKind::Capnp);
  EXPECT_EQ(a.utf8(), nullptr);
  EXPECT_EQ(PackageError(NotInSchema{4}).schema_enum()->value, 4);
  EXPECT_EQ(PackageError(Utf8Error{5, 2}).utf8()->error_len, 2);
  EXPECT_EQ(PackageError(std::make_error_code(std::errc::io_error)).io()->value(), EIO);
}

TEST(ApplicationModel, DefaultsAreTheSpecifiedOnes) {
  const Application app{};
  EXPECT_EQ(app.compiler_version, "0.1.0");
  EXPECT_TRUE(app.tiles.empty() && app.inputs.empty() && app.outputs.empty() &&
              app.weights.empty() && app.entry_points.empty() &&
              app.device_config_writes.empty() && app.profile_tiles.empty() &&
              app.debug_symbols.empty() && app.debug_regions.empty());
  EXPECT_EQ(app.host_exchange, (HostExchange{0, 0, 0, {}, {}, {}}));
  const auto result = app.validate();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().debug_string(), R"(Invalid("application has no tiles"))");
}

// A record made from scratch holds what a package that leaves all its fields out reads as,
// but for Application's compiler_version, which starts at "0.1.0".
TEST(ApplicationModel, RecordsStartAtTheSchemasDefaults) {
  EXPECT_EQ(HostCall{}.invocations, 1u);
  EXPECT_EQ(ProfileExchangeActivity{}.kind, ProfileExchangeActivityKind::Send);
  std::size_t compared = 0;
  for_each_record([&](auto tag) {
    using Record = typename decltype(tag)::type;
    capnp::MallocMessageBuilder message;
    const View<Record> absent(message.initRoot<schema_of<Record>>().asReader());
    const Record made{};
    for_each_field<Record>([&](auto row) {
      const auto& value = made.*row.member;
      SCOPED_TRACE(fmt::format("{}.{}", RecordTable<Record>::name, row.name));
      if constexpr (row.kind == FieldKind::number || row.kind == FieldKind::enumeration) {
        EXPECT_EQ(value, table_value(absent, row));
      } else if constexpr (row.kind == FieldKind::text) {
        EXPECT_TRUE(table_value(absent, row).empty());
        const bool initial = std::is_same_v<Record, Application> && row.name == "compiler_version";
        EXPECT_EQ(value, initial ? "0.1.0" : "");
      } else if constexpr (row.kind != FieldKind::record) {
        EXPECT_TRUE(value.empty());
      }
      ++compared;
    });
  });
  EXPECT_GT(compared, 60u);
}

}  // namespace
}  // namespace torv_package
