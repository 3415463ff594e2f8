#include "assignment.hpp"

#include <charconv>
#include <limits>
#include <span>
#include <type_traits>

#include <fmt/format.h>

#include "enum_name.hpp"
#include "number.hpp"
#include "output.hpp"
#include "torv_package/schema_table.hpp"
#include "utf8.hpp"

namespace torv_package::cli {
namespace {

bool name_char(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'; }
bool digit(char c) { return c >= '0' && c <= '9'; }

// The steps of a location: member names joined by dots, each with at most one list
// position in brackets.
std::optional<std::vector<Assignment::Step>> parse_location(std::string_view path) {
  std::vector<Assignment::Step> steps;
  std::size_t i = 0;
  for (;;) {
    const std::size_t start = i;
    while (i < path.size() && name_char(path[i])) ++i;
    if (i == start || digit(path[start])) return std::nullopt;
    Assignment::Step step{std::string(path.substr(start, i - start)), std::nullopt};
    if (i < path.size() && path[i] == '[') {
      const char* first = path.data() + i + 1;
      std::size_t index = 0;
      const auto [end, error] = std::from_chars(first, path.data() + path.size(), index);
      if (error != std::errc() || end == first || !digit(*first) || end == path.data() + path.size() || *end != ']') {
        return std::nullopt;
      }
      step.index = index;
      i = static_cast<std::size_t>(end - path.data()) + 1;
    }
    steps.push_back(std::move(step));
    if (i == path.size()) return steps;
    if (path[i] != '.') return std::nullopt;
    ++i;
  }
}

template <class Enum>
std::expected<Enum, std::string> parse_enumerant(std::string_view text) {
  const auto names = enumerant_names<Enum>();
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] == text) return static_cast<Enum>(i);
  }
  std::string choices;
  for (std::size_t i = 0; i < names.size(); ++i) {
    choices += i == 0 ? "" : i + 1 == names.size() ? " or " : ", ";
    choices += names[i];
  }
  return std::unexpected(fmt::format("{} is not a {}: {}", quoted_word(text), enum_name<Enum>(), choices));
}

// The value a member of type Member takes from `text`.
template <class Member>
std::expected<Member, std::string> parse_value(std::string_view text) {
  if constexpr (std::is_same_v<Member, std::string>) {
    if (const auto error = check_utf8(text)) return std::unexpected(PackageError(*error).message());
    return std::string(text);
  } else if constexpr (std::is_enum_v<Member>) {
    return parse_enumerant<Member>(text);
  } else {
    return parse_number<Member>(text);
  }
}

// Follows the steps from a record through the schema table and sets what the last names.
// Without a record, only checks the steps against the schema and the value against the
// member's type.
class Walk {
 public:
  Walk(std::span<const Assignment::Step> steps, std::string_view value) : steps_(steps), value_(value) {}

  template <class Record>
  std::optional<std::string> record(Record* out) {
    const Assignment::Step& step = steps_.front();
    std::optional<std::string> error =
        fmt::format("{} has no member {}", location_.empty() ? "the package" : location_, quoted_word(step.name));
    for_each_field<Record>([&](auto row) {
      if (row.name != step.name) return true;
      error = field(out == nullptr ? nullptr : &(out->*row.member), row);
      return false;
    });
    return error;
  }

 private:
  template <class Row>
  std::optional<std::string> field(typename Row::member_type* member, Row row) {
    const std::optional<std::size_t> index = steps_.front().index;
    location_ += location_.empty() ? std::string(row.name) : fmt::format(".{}", row.name);
    steps_ = steps_.subspan(1);
    const bool last = steps_.empty();
    constexpr std::string_view values = "set changes numbers, enums and texts (json and build change the rest)";
    if constexpr (row.kind == FieldKind::record_list) {
      if (!index) {
        if (last) return fmt::format("{} is a list; {}", location_, values);
        return fmt::format("{} is a list: name a position in it, as in {}[0]", location_, location_);
      }
      if (member != nullptr && *index >= member->size()) {
        return fmt::format("{}[{}] is not in the package: {} has {} {}", location_, *index, location_, member->size(),
                           member->size() == 1 ? "element" : "elements");
      }
      location_ += fmt::format("[{}]", *index);
      if (last) return fmt::format("{} is a record; name one of its members", location_);
      return record(member == nullptr ? nullptr : &(*member)[*index]);
    } else if constexpr (row.kind == FieldKind::record) {
      if (index) return fmt::format("{} is not a list", location_);
      if (last) return fmt::format("{} is a record; name one of its members", location_);
      return record(member);
    } else if constexpr (row.kind == FieldKind::data) {
      return fmt::format("{} is bytes; {}", location_, values);
    } else if constexpr (row.kind == FieldKind::number_list) {
      return fmt::format("{} is a list; {}", location_, values);
    } else {
      if (index) return fmt::format("{} is not a list", location_);
      if (!last) return fmt::format("{} has no members", location_);
      auto parsed = parse_value<typename Row::member_type>(value_);
      if (!parsed) return std::move(parsed).error();
      if (member != nullptr) *member = std::move(*parsed);
      return std::nullopt;
    }
  }

  std::span<const Assignment::Step> steps_;
  std::string_view value_;
  std::string location_;
};

}  // namespace

std::expected<Assignment, std::string> Assignment::parse(std::string_view text) {
  const auto fail = [&](std::string_view why) { return std::unexpected(fmt::format("{}: {}", quoted_word(text), why)); };
  const std::size_t equals = text.find('=');
  if (equals == std::string_view::npos) return fail("expected PATH=VALUE");
  auto steps = parse_location(text.substr(0, equals));
  if (!steps) return fail("the path is not a location such as tiles[3].entry_point");
  Assignment assignment;
  assignment.text_ = std::string(text);
  assignment.steps_ = std::move(*steps);
  assignment.value_ = std::string(text.substr(equals + 1));
  if (auto error = Walk(assignment.steps_, assignment.value_).record<Application>(nullptr)) return fail(*error);
  return assignment;
}

std::expected<void, std::string> Assignment::apply(Application& app) const {
  if (auto error = Walk(steps_, value_).record(&app)) return std::unexpected(fmt::format("{}: {}", quoted_word(text_), *error));
  return {};
}

}  // namespace torv_package::cli
