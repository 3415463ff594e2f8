// torv-package diff: compares two packages structurally, one line per difference.
// Which fields are compared, under which names and in which order, comes from the schema
// table; what is written here per record is only how its list is matched and how a
// record is named (Identity), and where its data sits in memory (data_base). Records with
// a key are matched by it (tiles and profile plans by physical tile, segments by address,
// bindings, entry points, host calls and debug symbols by name, host pages by index);
// other lists by position. A matched record whose place among the matched ones changed
// is reported as moved. Changed, moved and removed records are named
// by their position in the first package, added ones by their position in the second.
// Every line is one fact; the grammar is in man/torv-package.1.
#include <algorithm>
#include <compare>
#include <cstddef>
#include <cstring>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "commands.hpp"
#include "json_writer.hpp"
#include "output.hpp"
#include "torv_package/schema_table.hpp"

namespace torv_package::cli {
namespace {

// Positions in a list, in the tables that match lists: a stored list holds fewer than
// 2^29 records, and 4 bytes a record keep the tables below the model's own records, which
// the view's budget has counted.
using Position = std::uint32_t;
constexpr Position none = static_cast<Position>(-1);

// How the records of a list are matched, and named on lines of their own.
//   key         the field that matches them, or none: matched by position;
//   break_ties  whether records that share a key are paired equal ones first; off for
//               lists whose keys a valid package never repeats, which spares comparing
//               whole tiles twice;
//   shown       the fields that name a record on a +, - or ~ line: its key, or for a
//               record matched by position its main fields.
template <class Record>
struct Identity;

template <auto Key, bool BreakTies, auto... Shown>
struct Keyed {
  static constexpr auto key = Key;
  static constexpr bool break_ties = BreakTies;
  static constexpr auto shown = [] {
    if constexpr (sizeof...(Shown) == 0) {
      return std::tuple(Key);
    } else {
      return std::tuple(Shown...);
    }
  }();
};
template <auto... Shown>
struct Positional {
  static constexpr std::nullptr_t key = nullptr;
  static constexpr bool break_ties = false;
  static constexpr auto shown = std::tuple(Shown...);
};

template <> struct Identity<TileImage> : Keyed<&TileImage::physical_tile, false> {};
template <> struct Identity<Segment> : Keyed<&Segment::address, true, &Segment::address, &Segment::memory_size> {};
template <> struct Identity<Binding> : Keyed<&Binding::name, false> {};
template <> struct Identity<RegionSlice>
    : Positional<&RegionSlice::tile, &RegionSlice::tile_address, &RegionSlice::size> {};
template <> struct Identity<HostPage> : Keyed<&HostPage::index, false> {};
template <> struct Identity<HostCall> : Keyed<&HostCall::name, true> {};
template <> struct Identity<HostSlice> : Positional<&HostSlice::page, &HostSlice::page_offset, &HostSlice::size> {};
template <> struct Identity<EntryPoint> : Keyed<&EntryPoint::name, true> {};
template <> struct Identity<DeviceConfigWrite>
    : Positional<&DeviceConfigWrite::offset, &DeviceConfigWrite::value> {};
template <> struct Identity<TileProfilePlan> : Keyed<&TileProfilePlan::physical_tile, false> {};
template <> struct Identity<ProfileStep> : Positional<&ProfileStep::local_index, &ProfileStep::operation> {};
template <> struct Identity<ProfileMetadata> : Positional<&ProfileMetadata::name> {};
template <> struct Identity<ProfileExchangeActivity>
    : Positional<&ProfileExchangeActivity::kind, &ProfileExchangeActivity::start_cycle,
                 &ProfileExchangeActivity::end_cycle> {};
template <> struct Identity<DebugSymbol> : Keyed<&DebugSymbol::name, true> {};
template <> struct Identity<DebugRegion>
    : Positional<&DebugRegion::physical_tile, &DebugRegion::address, &DebugRegion::size, &DebugRegion::name> {};

template <class Record>
constexpr bool keyed = !std::is_same_v<std::remove_cv_t<decltype(Identity<Record>::key)>, std::nullptr_t>;

// The packages are compared as views of their files, never read into models: nothing is
// copied, and data is compared in place. A record is a View<Record>, a list a ListView.
using Bytes = std::span<const std::uint8_t>;

// Where a record's data sits in tile memory, for the address of its first differing word.
std::uint64_t data_base(const SegmentView& segment) { return segment.address(); }
template <class Record>
std::uint64_t data_base(const View<Record>&) {
  return 0;
}

// Bytes in a total order that agrees with ==.
std::strong_ordering bytes_order(Bytes x, Bytes y) {
  const std::size_t n = std::min(x.size(), y.size());
  if (const int c = n == 0 ? 0 : std::memcmp(x.data(), y.data(), n); c != 0) {
    return c < 0 ? std::strong_ordering::less : std::strong_ordering::greater;
  }
  return x.size() <=> y.size();
}
// A total order on records that agrees with ==, field by field in table order. Which of
// two unequal records comes first does not matter: it only sorts records so that equal
// ones meet.
template <class Record>
std::strong_ordering full_order(const View<Record>& x, const View<Record>& y) {
  std::strong_ordering order = std::strong_ordering::equal;
  for_each_field<Record>([&](auto row) {
    const auto a = table_value(x, row);
    const auto b = table_value(y, row);
    if constexpr (row.kind == FieldKind::record_list) {
      order = std::lexicographical_compare_three_way(a.begin(), a.end(), b.begin(), b.end(),
                                                     [](const auto& s, const auto& t) { return full_order(s, t); });
    } else if constexpr (row.kind == FieldKind::number_list) {
      order = std::lexicographical_compare_three_way(a.begin(), a.end(), b.begin(), b.end());
    } else if constexpr (row.kind == FieldKind::record) {
      order = full_order(a, b);
    } else if constexpr (row.kind == FieldKind::data) {
      order = bytes_order(a, b);
    } else {
      order = a <=> b;
    }
    return order == 0;
  });
  return order;
}
template <class Record>
bool equal(const View<Record>& x, const View<Record>& y) {
  return full_order(x, y) == 0;
}
// The order among records whose keys tie: in full where ties are broken, else none.
template <class Record>
std::strong_ordering rest_order(const View<Record>& x, const View<Record>& y) {
  if constexpr (Identity<Record>::break_ties) {
    return full_order(x, y);
  } else {
    return std::strong_ordering::equal;
  }
}

// Which record of b each record of a is paired with (or `none`), and the reverse.
struct Pairing {
  std::vector<Position> of_a;
  std::vector<Position> of_b;
};

// Pairs records with equal keys. Within one key, records equal in full are paired first
// (the k-th copy in a with the k-th copy in b), and only then the rest in stored order:
// so removing one of several same-named records reads as that removal, whichever it was,
// and a record changed in place still pairs with its old self when it is the only one
// left under its key. Both passes sort, so no choice of keys or values makes it slow.
template <class T, class List>
Pairing pair_records(const List& a, const List& b) {
  const auto key = [](const View<T>& record) { return member<Identity<T>::key>(record); };
  Pairing pairing{std::vector<Position>(a.size(), none), std::vector<Position>(b.size(), none)};
  // Merges the positions in `xs` and `ys` that have no partner yet, sorted by `order`
  // (ties in stored order), pairing those that compare equal.
  const auto pass = [&](auto order) {
    const auto unpaired = [](const std::vector<Position>& partners) {
      std::vector<Position> positions;
      for (std::size_t i = 0; i < partners.size(); ++i) {
        if (partners[i] == none) positions.push_back(static_cast<Position>(i));
      }
      return positions;
    };
    std::vector<Position> xs = unpaired(pairing.of_a), ys = unpaired(pairing.of_b);
    std::stable_sort(xs.begin(), xs.end(), [&](Position i, Position j) { return order(a[i], a[j]) < 0; });
    std::stable_sort(ys.begin(), ys.end(), [&](Position i, Position j) { return order(b[i], b[j]) < 0; });
    for (std::size_t x = 0, y = 0; x < xs.size() && y < ys.size();) {
      const auto c = order(a[xs[x]], b[ys[y]]);
      if (c < 0) {
        ++x;
      } else if (c > 0) {
        ++y;
      } else {
        pairing.of_a[xs[x]] = ys[y];
        pairing.of_b[ys[y]] = xs[x];
        ++x;
        ++y;
      }
    }
  };
  pass([&](const View<T>& x, const View<T>& y) {
    const auto c = key(x) <=> key(y);
    return c != 0 ? c : rest_order(x, y);
  });
  pass([&](const View<T>& x, const View<T>& y) { return key(x) <=> key(y); });
  return pairing;
}

// For each record of a: true when it is paired and among the largest set of paired
// records whose partners in b keep their order (a longest increasing run of partner
// positions). The paired records outside it have moved. Among runs of that length the
// one keeping most records at their own position is taken, so that a record still at
// its place is reported only when it must be; a swap of neighbours is one move. Found with a
// tree of prefix maxima over positions in b, in n log n.
std::vector<bool> kept_in_order(const std::vector<Position>& partner_of_a, std::size_t b_size) {
  struct Best {
    Position length = 0, in_place = 0;
    Position last = none;  // the a-position ending the run
    // Of equal runs, the one ending later in a, as patience sorting would take it.
    std::uint64_t rank() const { return last == none ? 0 : std::uint64_t{last} + 1; }
    bool operator<(const Best& o) const {
      return std::tuple(length, in_place, rank()) < std::tuple(o.length, o.in_place, o.rank());
    }
  };
  std::vector<Best> tree(b_size + 1);  // Fenwick tree over b's positions, 1-based
  std::vector<Position> before(partner_of_a.size(), none);
  Best overall;
  for (std::size_t i = 0; i < partner_of_a.size(); ++i) {
    const Position j = partner_of_a[i];
    if (j == none) continue;
    Best prefix;  // the best run ending at a partner below j
    for (std::size_t k = j; k > 0; k -= k & (~k + 1)) prefix = std::max(prefix, tree[k]);
    const Best here{prefix.length + 1, prefix.in_place + (i == j ? 1u : 0u), static_cast<Position>(i)};
    before[i] = prefix.last;
    overall = std::max(overall, here);
    for (std::size_t k = j + 1; k <= b_size; k += k & (~k + 1)) tree[k] = std::max(tree[k], here);
  }
  std::vector<bool> kept(partner_of_a.size(), false);
  for (Position i = overall.last; i != none; i = before[i]) kept[i] = true;
  return kept;
}

std::string hex(std::uint64_t value) { return fmt::format("{:#x}", value); }

// The 32-bit word at byte `at`, as vindle shows words; fewer than four bytes as they are.
std::string word(Bytes bytes, std::size_t at) {
  if (at >= bytes.size()) return "(end)";
  if (at + 4 > bytes.size()) {
    std::string out;
    for (std::size_t i = at; i < bytes.size(); ++i) out += fmt::format("{:02x}", bytes[i]);
    return out;
  }
  return fmt::format("{:08x}", std::uint32_t{bytes[at]} | std::uint32_t{bytes[at + 1]} << 8 |
                                   std::uint32_t{bytes[at + 2]} << 16 | std::uint32_t{bytes[at + 3]} << 24);
}

// A value or identity as a line shows it: pieces, a package's texts and number lists
// among them, formatted and escaped only as they are written and a part at a time. A
// text or list may run to megabytes (six bytes a character escaped), and is never held
// formatted whole.
class Shown {
 public:
  using Numbers = ListView<std::uint32_t, capnp::List<std::uint32_t>::Reader>;

  Shown() = default;
  Shown(const char* literal) : Shown(std::string(literal)) {}
  Shown(std::string literal) { add(std::move(literal)); }
  void add(std::string literal) {
    if (!literal.empty()) pieces_.emplace_back(std::move(literal));
  }
  // Quoted and escaped as in an error's debug form.
  void add_quoted(std::string_view text) { pieces_.emplace_back(Quoted{text}); }
  // In brackets, separated by ", ".
  void add_numbers(Numbers numbers) { pieces_.emplace_back(numbers); }
  void append(Shown&& other) {
    for (auto& piece : other.pieces_) pieces_.push_back(std::move(piece));
  }
  bool empty() const { return pieces_.empty(); }

  // Calls `write` with the text, a part at a time.
  template <class Write>
  void write(Write&& write) const {
    for (const auto& piece : pieces_) {
      if (const auto* literal = std::get_if<std::string>(&piece)) {
        write(std::string_view(*literal));
      } else if (const auto* quoted = std::get_if<Quoted>(&piece)) {
        write_quoted(quoted->text, write);
      } else {
        write_numbers(std::get<Numbers>(piece), write);
      }
    }
  }

 private:
  static constexpr std::size_t part_bytes = std::size_t{1} << 16;
  struct Quoted {
    std::string_view text;
  };

  template <class Write>
  static void write_quoted(std::string_view text, Write& write) {
    write(std::string_view("\""));
    while (!text.empty()) {
      std::size_t n = std::min(text.size(), part_bytes);
      // Parts end between characters, since escaping looks at whole characters.
      while (n < text.size() && n > part_bytes - 4 && (static_cast<unsigned char>(text[n]) & 0xc0) == 0x80) --n;
      const std::string escaped = quote_escaped(text.substr(0, n));
      write(std::string_view(escaped).substr(1, escaped.size() - 2));
      text.remove_prefix(n);
    }
    write(std::string_view("\""));
  }
  template <class Write>
  static void write_numbers(const Numbers& numbers, Write& write) {
    std::string text = "[";
    for (std::size_t i = 0; i < numbers.size(); ++i) {
      if (text.size() >= part_bytes) {
        write(std::string_view(text));
        text.clear();
      }
      fmt::format_to(std::back_inserter(text), "{}{}", i == 0 ? "" : ", ", numbers[i]);
    }
    text += ']';
    write(std::string_view(text));
  }

  std::vector<std::variant<std::string, Quoted, Numbers>> pieces_;
};

// A field's value on a line: numbers in decimal, or in hex for an address; enums by
// name; text quoted and escaped; number lists in brackets.
template <class Row, class Value>
Shown shown_value(Row, const Value& value) {
  Shown out;
  if constexpr (Row::kind == FieldKind::number) {
    out.add(Row::address ? hex(value) : fmt::format("{}", value));
  } else if constexpr (Row::kind == FieldKind::enumeration) {
    out.add(std::string(enumerant_name(value)));
  } else if constexpr (Row::kind == FieldKind::text) {
    out.add_quoted(value);
  } else {
    static_assert(Row::kind == FieldKind::number_list, "data and records are not shown as values");
    out.add_numbers(value);
  }
  return out;
}

// "name value" for one field of a record, after a space unless it is the first.
template <class Record, class Member>
void show_field(Shown& out, const View<Record>& record, Member Record::*member) {
  for_each_field<Record>([&](auto row) {
    if constexpr (std::is_same_v<typename decltype(row)::member_type, Member>) {
      if (row.member != member) return;
      out.add(fmt::format("{}{} ", out.empty() ? "" : " ", row.name));
      out.append(shown_value(row, table_value(record, row)));
    }
  });
}

// What identifies a record on a line of its own: its Identity's shown fields.
template <class Record>
Shown identity(const View<Record>& record) {
  Shown out;
  std::apply([&](auto... member) { (show_field(out, record, member), ...); }, Identity<Record>::shown);
  return out;
}

// One difference, as a line shows it and as --json lists it.
struct Difference {
  std::string_view operation;  // change, data, add, remove, move, other
  std::string path;
  Shown identity;  // for add, remove and move
  Shown old_value, new_value;
  std::string detail{};  // for data: where the first difference is, and the sizes if they differ
};

class Differ {
 public:
  Differ(Output& out, const DiffOptions& options) : out_(out), options_(options), json_(out) {
    if (options_.json && !options_.quiet) json_.begin_array();
  }
  bool found() const { return found_; }
  // Differences found but not written, for --max-lines.
  std::uint64_t left_out() const { return left_out_; }

  void application(const View<Application>& a, const View<Application>& b) {
    fields("", a, b);
    // Status 0 promises equal packages; a difference no line above shows (a matching this
    // walk does not know) still says so.
    if (!found_ && !equal(a, b)) emit({"other", "", "", "", ""});
    if (options_.json && !options_.quiet) {
      json_.end_array();
      json_.end_document();
    }
  }

 private:
  // Once a difference is found, -q has its answer.
  bool done() const { return found_ && options_.quiet; }

  void emit(const Difference& d) {
    found_ = true;
    if (options_.quiet) return;
    if (options_.max_lines && written_ >= *options_.max_lines) {
      ++left_out_;
      return;
    }
    ++written_;
    if (options_.json) {
      json_.begin_object();
      json_.key("operation");
      json_.string(d.operation);
      json_.key("path");
      json_.string(d.path);
      // Shown values are UTF-8 whatever the package holds: escaping made them so.
      for (const auto& [key, value] : {std::pair{"identity", &d.identity}, std::pair{"old", &d.old_value},
                                       std::pair{"new", &d.new_value}}) {
        json_.key(key);
        json_.begin_raw_string();
        value->write([&](std::string_view part) { json_.string_part(part); });
        json_.end_raw_string();
      }
      if (!d.detail.empty()) {
        json_.key("detail");
        json_.string(d.detail);
      }
      json_.end_object();
      return;
    }
    const auto write = [&](std::string_view part) { out_.write(part); };
    if (d.operation == "add" || d.operation == "remove") {
      out_.print("{} {} (", d.operation == "add" ? '+' : '-', d.path);
      d.identity.write(write);
      out_.write(")");
    } else if (d.operation == "move") {
      out_.print("~ {} -> ", d.path);
      d.new_value.write(write);
      out_.write(" (");
      d.identity.write(write);
      out_.write(")");
    } else if (d.operation == "other") {
      out_.write("? models differ");
    } else {
      out_.print("{}: ", d.path);
      if (!d.detail.empty()) out_.print("{}: ", d.detail);
      d.old_value.write(write);
      out_.write(" -> ");
      d.new_value.write(write);
    }
    out_.write("\n");
  }
  static std::string joined(const std::string& path, std::string_view name) {
    return path.empty() ? std::string(name) : fmt::format("{}.{}", path, name);
  }

  // Compares two records at `path` field by field, recursing into records and lists.
  template <class Record>
  void fields(const std::string& path, const View<Record>& a, const View<Record>& b) {
    for_each_field<Record>([&](auto row) {
      using Row = decltype(row);
      if (done()) return;
      const auto x = table_value(a, row);
      const auto y = table_value(b, row);
      if constexpr (row.kind == FieldKind::record_list) {
        list<typename Row::element_type>(joined(path, row.name), x, y);
      } else if constexpr (row.kind == FieldKind::record) {
        fields(joined(path, row.name), x, y);
      } else if constexpr (row.kind == FieldKind::data) {
        if (bytes_order(x, y) != 0) data(joined(path, row.name), data_base(a), x, y);
      } else if constexpr (row.kind == FieldKind::number_list) {
        if (!std::ranges::equal(x, y)) {
          emit({"change", joined(path, row.name), "", shown_value(row, x), shown_value(row, y)});
        }
      } else {
        if (x != y) emit({"change", joined(path, row.name), "", shown_value(row, x), shown_value(row, y)});
      }
    });
  }
  template <class T, class List>
  void list(const std::string& path, const List& a, const List& b) {
    if constexpr (keyed<T>) {
      by_key<T>(path, a, b);
    } else {
      by_position(path, a, b);
    }
  }
  void data(const std::string& path, std::uint64_t base, Bytes a, Bytes b);

  // Lists matched by position.
  template <class List>
  void by_position(const std::string& path, const List& a, const List& b) {
    for (std::size_t i = 0; i < std::max(a.size(), b.size()) && !done(); ++i) {
      if (i >= a.size()) {
        emit({"add", fmt::format("{}[{}]", path, i), identity(b[i]), "", ""});
      } else if (i >= b.size()) {
        emit({"remove", fmt::format("{}[{}]", path, i), identity(a[i]), "", ""});
      } else if (!equal(a[i], b[i])) {
        fields(fmt::format("{}[{}]", path, i), a[i], b[i]);
      }
    }
  }
  // Lists matched by key: a's records in their order, each removed, or moved and then
  // compared; then b's records that are new.
  template <class T, class List>
  void by_key(const std::string& path, const List& a, const List& b) {
    const Pairing pairing = pair_records<T>(a, b);
    const std::vector<bool> kept = kept_in_order(pairing.of_a, b.size());
    for (std::size_t i = 0; i < a.size() && !done(); ++i) {
      const Position j = pairing.of_a[i];
      if (j == none) {
        emit({"remove", fmt::format("{}[{}]", path, i), identity(a[i]), "", ""});
        continue;
      }
      if (!kept[i]) {
        emit({"move", fmt::format("{}[{}]", path, i), identity(a[i]), fmt::format("[{}]", i), fmt::format("[{}]", j)});
      }
      if (!equal(a[i], b[j])) fields(fmt::format("{}[{}]", path, i), a[i], b[j]);
    }
    for (std::size_t j = 0; j < b.size() && !done(); ++j) {
      if (pairing.of_b[j] == none) emit({"add", fmt::format("{}[{}]", path, j), identity(b[j]), "", ""});
    }
  }

  Output& out_;
  const DiffOptions& options_;
  JsonWriter json_;
  bool found_ = false;
  std::uint64_t written_ = 0, left_out_ = 0;
};

// Data is shown by its first differing word, at its address in tile memory.
void Differ::data(const std::string& path, std::uint64_t base, Bytes a, Bytes b) {
  const auto [first, ignored] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
  const std::size_t at = static_cast<std::size_t>(first - a.begin()) / 4 * 4;
  const std::string sizes = a.size() == b.size() ? "" : fmt::format("{} -> {} bytes, ", a.size(), b.size());
  emit({"data", path, "", word(a, at), word(b, at), fmt::format("{}first difference at 0x{:06x}", sizes, base + at)});
}

}  // namespace

int diff(const std::string& path_a, const std::string& path_b, const DiffOptions& options) {
  if (path_a == "-" && path_b == "-") {
    report("standard input can be one side of diff, not both");
    return exit_trouble;
  }
  // The two packages are opened and validated at once, one on another core when a thread
  // can be had.
  Result<PackageView> b = std::unexpected(PackageError::invalid("not read"));
  std::optional<std::thread> reader;
  try {
    reader.emplace([&] { b = PackageView::open(opened_path(path_b)); });
  } catch (const std::system_error&) {
    // No thread to be had: b is opened after a, on this one.
  }
  Result<PackageView> a = PackageView::open(opened_path(path_a));
  if (reader) {
    reader->join();
  } else {
    b = PackageView::open(opened_path(path_b));
  }
  for (const auto* result : {&a, &b}) {
    if (!*result) {
      report_package_error(result == &a ? path_a : path_b, result->error());
      return exit_trouble;
    }
  }
  Output out;
  Differ differ(out, options);
  differ.application(*a, *b);
  if (const auto error = out.finish()) return write_failure(*error);
  if (differ.left_out() != 0) {
    report(fmt::format("{} more {} not shown (--max-lines {})", differ.left_out(),
                       differ.left_out() == 1 ? "difference" : "differences", *options.max_lines));
  }
  return differ.found() ? exit_refused : exit_ok;
}

}  // namespace torv_package::cli
