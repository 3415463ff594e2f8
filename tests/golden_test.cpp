// The sample package, encoded by `capnp encode` from examples/sample-package.txt and so
// never touched by the library's writer, checked against a checked-in JSON document of
// every record and field: as Application::read gives it, walked member by member, and as
// `torv-package json` writes it, byte for byte. A field that the reader drops, or fills
// from a neighbour's slot, fails here even when the writer makes the same mistake.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "torv_package/application.hpp"
#include "torv_package/schema_table.hpp"

namespace torv_package {
namespace {

using nlohmann::json;

std::string slurp(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The differences between a model read and the golden document, each with its location.
class Differences {
 public:
  template <class Record>
  void record(const std::string& at, const Record& got, const json& want) {
    if (!want.is_object() || want.size() != field_count<Record>) {
      found(at, "the golden file holds other members");
      if (!want.is_object()) return;
    }
    for_each_field<Record>([&](auto row) {
      const std::string here = at.empty() ? std::string(row.name) : fmt::format("{}.{}", at, row.name);
      const auto found_member = want.find(std::string(row.name));
      if (found_member == want.end()) return found(here, "missing from the golden file");
      member(row, here, got.*row.member, *found_member);
    });
  }

  const std::vector<std::string>& list() const { return list_; }

 private:
  void found(const std::string& at, const std::string& what) { list_.push_back(at + ": " + what); }

  template <class Row, class Member>
  void member(Row, const std::string& at, const Member& got, const json& want) {
    if constexpr (Row::kind == FieldKind::number) {
      if (want != json(got)) found(at, fmt::format("read {}, golden {}", got, want.dump()));
    } else if constexpr (Row::kind == FieldKind::enumeration) {
      const std::string name(enumerant_name(got));
      if (want != json(name)) found(at, fmt::format("read {}, golden {}", name, want.dump()));
    } else if constexpr (Row::kind == FieldKind::text) {
      if (want != json(got)) found(at, fmt::format("read {}, golden {}", json(got).dump(), want.dump()));
    } else if constexpr (Row::kind == FieldKind::data) {
      const std::string hex = fmt::format("{:02x}", fmt::join(got, ""));
      if (want != json(hex)) found(at, fmt::format("read {}, golden {}", hex, want.dump()));
    } else if constexpr (Row::kind == FieldKind::number_list) {
      if (want != json(got)) found(at, fmt::format("read {}, golden {}", json(got).dump(), want.dump()));
    } else if constexpr (Row::kind == FieldKind::record_list) {
      if (!want.is_array() || want.size() != got.size()) return found(at, fmt::format("read {} elements", got.size()));
      for (std::size_t i = 0; i < got.size(); ++i) record(fmt::format("{}[{}]", at, i), got[i], want[i]);
    } else {
      record(at, got, want);
    }
  }

  std::vector<std::string> list_;
};

TEST(GoldenSample, ReadsAsTheGoldenFileHoldsIt) {
  const auto read = Application::read_file(SAMPLE_PACKAGE);
  ASSERT_TRUE(read) << read.error().debug_string();
  const json golden = json::parse(slurp(GOLDEN_JSON), nullptr, /*allow_exceptions=*/false);
  ASSERT_TRUE(golden.is_object()) << "cannot parse " << GOLDEN_JSON;
  Differences differences;
  differences.record("", *read, golden);
  EXPECT_TRUE(differences.list().empty()) << "the sample as read differs from " << GOLDEN_JSON << ":\n"
                                          << fmt::format("{}", fmt::join(differences.list(), "\n"));
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
