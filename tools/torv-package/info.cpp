// torv-package info: a summary of a package for people, in aligned columns that fit 80
// characters, long tables cut to a screenful; or, with --json, the same with exact numbers.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include <fmt/format.h>
#include <utf8proc.h>

#include "commands.hpp"
#include "json_writer.hpp"
#include "output.hpp"

namespace torv_package::cli {
namespace {

// Sums of u64 fields over any number of records: a 128-bit sum cannot wrap, since no
// list holds 2^64 records.
using Total = __uint128_t;

constexpr std::size_t line_width = 80;
constexpr std::size_t label_width = 18;
constexpr std::size_t name_width = 24;  // longer names are cut, with "..."
constexpr std::string_view cut_mark = "...";

struct Char {
  std::size_t bytes;
  std::size_t columns;
};

// The character at the start of `text` and the columns a terminal gives it: two for wide
// characters (CJK, most emoji). Text here has been through shown(), which escapes
// controls, combining marks and bytes that are not UTF-8.
Char first_char(std::string_view text) {
  utf8proc_int32_t code_point = 0;
  const utf8proc_ssize_t length = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                                                   static_cast<utf8proc_ssize_t>(text.size()), &code_point);
  if (length <= 0) return {1, 1};
  return {static_cast<std::size_t>(length), static_cast<std::size_t>(std::max(0, utf8proc_charwidth(code_point)))};
}

std::size_t columns(std::string_view text) {
  std::size_t total = 0;
  for (std::size_t i = 0; i < text.size();) {
    const Char c = first_char(text.substr(i));
    total += c.columns;
    i += c.bytes;
  }
  return total;
}

// `text` within `width` columns: as it is when it fits, else cut between characters and
// ended with "...".
std::string cut(std::string_view text, std::size_t width) {
  if (columns(text) <= width) return std::string(text);
  const std::size_t room = width - cut_mark.size();
  std::size_t used = 0, end = 0;
  while (end < text.size()) {
    const Char c = first_char(text.substr(end));
    if (used + c.columns > room) break;
    used += c.columns;
    end += c.bytes;
  }
  return std::string(text.substr(0, end)).append(cut_mark);
}

// Whether shown() quotes and escapes `text`, decided a piece at a time so that a long
// text is never escaped whole.
bool needs_escaping(std::string_view text) {
  if (text.empty()) return true;
  constexpr std::size_t piece_bytes = 4096;
  while (!text.empty()) {
    std::size_t n = std::min(text.size(), piece_bytes);
    // Pieces end between characters, since escaping looks at whole characters.
    while (n < text.size() && n > piece_bytes - 4 && (static_cast<unsigned char>(text[n]) & 0xc0) == 0x80) --n;
    const std::string_view piece = text.substr(0, n);
    if (piece.find('"') != std::string_view::npos || quote_escaped(piece).size() != piece.size() + 2) return true;
    text.remove_prefix(n);
  }
  return false;
}

// cut(shown(text), width), escaping no more of the text than can show: a head that is
// wider than `width` when shown decides what fits.
std::string shown_cut(std::string_view text, std::size_t width) {
  std::size_t end = 0;
  for (std::size_t used = 0; end < text.size() && used <= width;) {
    const Char c = first_char(text.substr(end));
    const std::string_view one = text.substr(end, c.bytes);
    // An escaped character takes the columns of its escape (a control character has none
    // as it is, and six as \u{1b}).
    const std::string quoted = quote_escaped(one);
    const bool escaped = quoted.size() != one.size() + 2;
    used += escaped ? quoted.size() - 2 : c.columns;
    end += c.bytes;
  }
  if (end == text.size()) return cut(shown(text), width);
  const std::string_view head = text.substr(0, end);
  return cut(needs_escaping(text) ? quote_escaped(head) : std::string(head), width);
}

// `text` cut to `width` columns and padded with spaces to exactly that many.
std::string fit(std::string_view text, std::size_t width) {
  std::string out = cut(text, width);
  out.append(width - columns(out), ' ');
  return out;
}

std::string digits(Total value) { return fmt::format("{}", value); }

// The width of a right-aligned number column: `least`, or wider for a largest value that
// would not keep a space before it.
std::size_t number_width(std::size_t least, Total largest) { return std::max(least, digits(largest).size() + 1); }

// Minimum, median (the lower of the two middle values) and maximum.
struct Spread {
  Total min = 0, median = 0, max = 0;
};

// Rows a long table shows unless --all asks for every one: about a screenful.
constexpr std::size_t table_rows = 20;

// A byte count in binary units with one decimal ("4.0 KiB"), or in bytes below 1 KiB.
std::string binary_size(Total bytes) {
  if (bytes < 1024) return fmt::format("{} B", digits(bytes));
  constexpr const char* units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  long double value = static_cast<long double>(bytes) / 1024;
  std::size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(units)) {
    value /= 1024;
    ++unit;
  }
  return fmt::format("{:.1f} {}", static_cast<double>(value), units[unit]);
}

// "4.0 KiB (4128 bytes)": for a single count, the exact number as well.
std::string size_and_bytes(Total bytes) {
  if (bytes < 1024) return binary_size(bytes);
  return fmt::format("{} ({} bytes)", binary_size(bytes), digits(bytes));
}

// The line that ends a capped table.
void left_out(Output& out, std::size_t shown_rows, std::size_t rows, std::string_view what) {
  if (shown_rows < rows) out.print("  ... {} more {} (--all shows every one)\n", rows - shown_rows, what);
}

// What the commands show, gathered once from the view. A few bytes per tile and binding,
// less than the model's records, which the view's budget has counted: a package with
// millions of tiles is summarised within its memory bound. A valid package keeps every
// tile's segments within its memory window, so that per-tile sums fit 64 bits.
struct Summary {
  struct Tile {
    std::uint32_t number;
    std::uint32_t segments = 0;  // a list holds fewer than 2^29
    std::uint64_t data = 0, memory = 0;
  };
  struct BindingRow {
    const char* kind;
    BindingView binding;
    std::uint64_t slices = 0;
    Total bytes = 0;  // slices may pass 2^32 bytes in a package shown unchecked
  };
  std::vector<Tile> tiles;             // in stored order
  std::vector<std::uint32_t> numbers;  // the tile numbers, sorted: the gaps are between them
  std::size_t gap_count = 0;
  std::vector<std::uint32_t> fullest;  // positions in `tiles`, fullest first
  std::vector<BindingRow> bindings;
  Total page_bytes = 0, profile_steps = 0;

  // Calls `f(from, to)` for each range of numbers missing between the lowest and highest.
  template <class F>
  void for_each_gap(F&& f) const {
    for (std::size_t i = 1; i < numbers.size(); ++i) {
      if (numbers[i] > numbers[i - 1] + std::uint64_t{1}) f(numbers[i - 1] + 1, numbers[i] - 1);
    }
  }

  // Minimum, median and maximum over the tiles of `of(tile)`.
  template <class Of>
  Spread spread(Of of) const {
    if (tiles.empty()) return {};
    std::vector<std::uint64_t> values;
    values.reserve(tiles.size());
    for (const Tile& t : tiles) values.push_back(of(t));
    std::sort(values.begin(), values.end());
    return {values.front(), values[(values.size() - 1) / 2], values.back()};
  }
  template <class Of>
  Total sum(Of of) const {
    Total total = 0;
    for (const Tile& t : tiles) total += of(t);
    return total;
  }
};

Summary summarise(const View<Application>& app) {
  Summary s;
  const auto tiles = app.tiles();
  s.tiles.reserve(tiles.size());
  for (const TileImageView tile : tiles) {
    Summary::Tile t{tile.physical_tile()};
    const auto tile_segments = tile.segments();
    for (const SegmentView segment : tile_segments) {
      t.data += segment.data().size();
      t.memory += segment.memory_size();
    }
    t.segments = static_cast<std::uint32_t>(tile_segments.size());
    s.tiles.push_back(t);
  }
  s.numbers.reserve(s.tiles.size());
  for (const auto& t : s.tiles) s.numbers.push_back(t.number);
  std::sort(s.numbers.begin(), s.numbers.end());
  s.for_each_gap([&](std::uint32_t, std::uint32_t) { ++s.gap_count; });
  s.fullest.resize(s.tiles.size());
  for (std::size_t i = 0; i < s.fullest.size(); ++i) s.fullest[i] = static_cast<std::uint32_t>(i);
  std::stable_sort(s.fullest.begin(), s.fullest.end(), [&](std::uint32_t a, std::uint32_t b) {
    return std::tie(s.tiles[b].memory, s.tiles[a].number) < std::tie(s.tiles[a].memory, s.tiles[b].number);
  });
  for (const auto& [kind, list] : {std::pair{"input", app.inputs()}, std::pair{"output", app.outputs()},
                                   std::pair{"weight", app.weights()}}) {
    for (const BindingView b : list) {
      Summary::BindingRow row{kind, b};
      const auto slices = b.slices();
      for (const RegionSliceView slice : slices) row.bytes += slice.size();
      row.slices = slices.size();
      s.bindings.push_back(row);
    }
  }
  for (const HostPageView p : app.host_exchange().pages()) s.page_bytes += p.size();
  for (const TileProfilePlanView plan : app.profile_tiles()) s.profile_steps += plan.steps().size();
  return s;
}

// A tile's share of its memory window, in percent.
double occupancy(Total memory) { return static_cast<double>(memory) * 100.0 / tile_memory_size; }

std::string tile_numbers(const Summary& s) {
  if (s.tiles.empty()) return "none";
  std::string text = fmt::format("{}..{}", s.numbers.front(), s.numbers.back());
  if (s.gap_count == 0) return text + ", no gaps";
  // Every number between the lowest and highest that no tile has, counted by the gaps: a
  // package shown unchecked may repeat a number.
  Total missing = 0;
  s.for_each_gap([&](std::uint32_t from, std::uint32_t to) { missing += Total{to} - from + 1; });
  text += fmt::format(", {} missing:", digits(missing));
  // As many gaps as the line holds, keeping room for the count of the rest.
  const std::size_t room = line_width - label_width;
  std::size_t shown_gaps = 0;
  bool full = false;
  s.for_each_gap([&](std::uint32_t from, std::uint32_t to) {
    if (full) return;
    const std::string gap = from == to ? fmt::format(" {}", from) : fmt::format(" {}..{}", from, to);
    const std::string rest = fmt::format(" and {} more gaps", s.gap_count - shown_gaps - 1);
    const bool last = shown_gaps + 1 == s.gap_count;
    if (text.size() + gap.size() + (last ? 0 : rest.size()) > room) {
      full = true;
      return;
    }
    text += gap;
    ++shown_gaps;
  });
  if (shown_gaps < s.gap_count) text += fmt::format(" and {} more gaps", s.gap_count - shown_gaps);
  return text;
}

constexpr auto segment_count = [](const Summary::Tile& t) { return std::uint64_t{t.segments}; };
constexpr auto data_bytes = [](const Summary::Tile& t) { return t.data; };
constexpr auto memory_bytes = [](const Summary::Tile& t) { return t.memory; };

void segments(Output& out, const Summary& s) {
  const Spread c = s.spread(segment_count), d = s.spread(data_bytes), m = s.spread(memory_bytes);
  const struct {
    const char* label;
    Total count, data, memory;
  } rows[] = {{"  total", s.sum(segment_count), s.sum(data_bytes), s.sum(memory_bytes)},
              {"  per tile min", c.min, d.min, m.min},
              {"  per tile median", c.median, d.median, m.median},
              {"  per tile max", c.max, d.max, m.max}};
  // The total is the largest count.
  const std::size_t cw = number_width(12, rows[0].count), dw = 16, mw = 16;
  out.print("\n{:<{}}{:>{}}{:>{}}{:>{}}\n", "segments", label_width, "count", cw, "data", dw, "memory", mw);
  for (const auto& row : rows) {
    out.print("{:<{}}{:>{}}{:>{}}{:>{}}\n", row.label, label_width, digits(row.count), cw, binary_size(row.data), dw,
              binary_size(row.memory), mw);
  }
}

void tile_occupancy(Output& out, const Summary& s, bool all) {
  if (s.tiles.empty()) return;
  out.print("\n{:<{}}fullest first, of a {} window each\n", "tile occupancy", label_width,
            binary_size(tile_memory_size));
  out.print("  {:>10}{:>16}{:>12}\n", "tile", "memory", "of window");
  const std::size_t rows = all ? s.fullest.size() : std::min(table_rows, s.fullest.size());
  for (std::size_t i = 0; i < rows; ++i) {
    const auto& t = s.tiles[s.fullest[i]];
    out.print("  {:>10}{:>16}{:>11.1f}%\n", t.number, binary_size(t.memory), occupancy(t.memory));
  }
  left_out(out, rows, s.fullest.size(), "tiles");
}

// Wide enough for "float8_e4m3fn" and "[64, 3, 224, 224]".
constexpr std::size_t dtype_width = 13;
constexpr std::size_t shape_width = 17;
constexpr std::size_t binding_name_width = 21;

// "[64, 3, 224, 224]", or as much of it as shows in `width` columns and more: a shape may
// hold millions of numbers, shared by every binding.
template <class Numbers>
std::string shape_head(const Numbers& shape, std::size_t width) {
  std::string text = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (text.size() > width) return text;
    fmt::format_to(std::back_inserter(text), "{}{}", i == 0 ? "" : ", ", shape[i]);
  }
  return text + "]";
}

void bindings(Output& out, const Summary& s, bool all) {
  out.print("\n{:<{}}{}\n", "bindings", label_width, s.bindings.size());
  if (s.bindings.empty()) return;
  std::uint64_t most_slices = 0;
  for (const auto& row : s.bindings) most_slices = std::max(most_slices, row.slices);
  // Wider numbers take their room from the name column.
  const std::size_t sw = number_width(7, most_slices), bw = 11;
  const std::size_t nw = binding_name_width - std::min<std::size_t>(binding_name_width - 8, sw - 7);
  out.print("  {:<7}{} {} {}{:>{}}{:>{}}\n", "kind", fit("name", nw), fit("dtype", dtype_width),
            fit("shape", shape_width), "slices", sw, "bytes", bw);
  const std::size_t rows = all ? s.bindings.size() : std::min(table_rows, s.bindings.size());
  for (std::size_t i = 0; i < rows; ++i) {
    const auto& row = s.bindings[i];
    const BindingView b = row.binding;
    out.print("  {:<7}{} {} {}{:>{}}{:>{}}\n", row.kind, fit(shown_cut(b.name(), nw), nw),
              fit(shown_cut(b.dtype(), dtype_width), dtype_width),
              fit(shape_head(b.shape(), shape_width), shape_width), digits(row.slices), sw,
              binary_size(row.bytes), bw);
  }
  left_out(out, rows, s.bindings.size(), "bindings");
}

void host_exchange(Output& out, const HostExchangeView& ex, const Summary& s, bool all) {
  const auto pages = ex.pages();
  const auto calls = ex.calls();
  out.print("\n{:<{}}pages {}, calls {}\n", "host exchange", label_width, pages.size(), calls.size());
  out.print("{:<{}}{}\n", "  page bytes", label_width, size_and_bytes(s.page_bytes));
  if (calls.empty()) return;
  out.print("  {}{:>10}{:>10}{:>14}\n", fit("call", name_width + 8), "inputs", "outputs", "invocations");
  const std::size_t rows = all ? calls.size() : std::min(table_rows, calls.size());
  for (std::size_t i = 0; i < rows; ++i) {
    const HostCallView call = calls[i];
    out.print("  {}{:>10}{:>10}{:>14}\n", fit(shown_cut(call.name(), name_width + 8), name_width + 8),
              call.inputs().size(), call.outputs().size(), call.invocations());
  }
  left_out(out, rows, calls.size(), "calls");
}

// The consistency rules' faults, found again and written as they come: the first rows, or
// every one with --all, each cut to the line as names are.
void faults(Output& out, const PackageView& view, std::size_t count, bool all) {
  out.print("\n{:<{}}{}\n", "faults", label_width, count == 0 ? "none" : fmt::format("{}, check refuses the package", count));
  const std::size_t rows = all ? count : std::min(table_rows, count);
  std::size_t shown_rows = 0;
  EachFault print([&](PackageError error) {
    if (shown_rows == rows) return false;
    out.print("  {}\n", cut(describe(error), line_width - 2));
    ++shown_rows;
    return !out.failed();
  });
  view.validate(print);
  left_out(out, shown_rows, count, "faults");
}

// Every value of the text form, with exact numbers, as one JSON document.
void info_json(Output& out, const std::string& path, const PackageView& app, const ReadDetails& details,
               const Summary& s, bool with_faults) {
  JsonWriter json(out);
  const auto total = [&](Total value) { json.literal(digits(value)); };
  json.begin_object();
  json.key("path");
  json.string(json_text(path));
  json.key("file_size");
  total(Total{details.message_bytes} + details.trailing_bytes);
  json.key("file_size_exact");
  json.boolean(details.trailing_bytes_exact);
  json.key("message_bytes");
  json.number(details.message_bytes);
  json.key("trailing_bytes");
  json.number(details.trailing_bytes);
  json.key("trailing_bytes_exact");
  json.boolean(details.trailing_bytes_exact);
  if (with_faults) {
    // Every one, found again and written as they come.
    json.key("faults");
    json.begin_array();
    EachFault write([&](PackageError error) {
      error_json(json, error);
      return !out.failed();
    });
    app.validate(write);
    json.end_array();
  }
  json.key("header");
  json.begin_object();
  json.key("schema_version");
  json.number(supported_schema_version);
  json.key("target");
  json.string(supported_target);
  json.key("tile_memory_base");
  json.number(tile_memory_base);
  json.key("tile_memory_size");
  json.number(tile_memory_size);
  json.end_object();
  json.key("compiler_version");
  json.string(app.compiler_version());

  json.key("tiles");
  json.begin_object();
  json.key("count");
  json.number(s.tiles.size());
  if (!s.tiles.empty()) {
    json.key("first");
    json.number(s.numbers.front());
    json.key("last");
    json.number(s.numbers.back());
  }
  json.key("gaps");
  json.begin_array();
  s.for_each_gap([&](std::uint32_t from, std::uint32_t to) {
    json.begin_array(true);
    json.number(from);
    json.number(to);
    json.end_array();
  });
  json.end_array();
  json.end_object();

  json.key("segments");
  json.begin_object();
  json.key("count");
  total(s.sum(segment_count));
  json.key("data_bytes");
  total(s.sum(data_bytes));
  json.key("memory_bytes");
  total(s.sum(memory_bytes));
  json.end_object();

  json.key("occupancy");
  json.begin_array();
  for (const std::uint32_t i : s.fullest) {
    const auto& t = s.tiles[i];
    json.begin_object();
    json.key("physical_tile");
    json.number(t.number);
    json.key("segments");
    total(t.segments);
    json.key("data_bytes");
    total(t.data);
    json.key("memory_bytes");
    total(t.memory);
    json.key("percent");
    json.literal(fmt::format("{:.2f}", occupancy(t.memory)));
    json.end_object();
  }
  json.end_array();

  json.key("bindings");
  json.begin_array();
  for (const auto& row : s.bindings) {
    json.begin_object();
    json.key("kind");
    json.string(row.kind);
    json.key("name");
    json.string(row.binding.name());
    json.key("dtype");
    json.string(row.binding.dtype());
    json.key("shape");
    json.begin_array(true);
    for (const auto d : row.binding.shape()) json.number(d);
    json.end_array();
    json.key("slices");
    total(row.slices);
    json.key("bytes");
    total(row.bytes);
    json.end_object();
  }
  json.end_array();

  const HostExchangeView ex = app.host_exchange();
  json.key("host_exchange");
  json.begin_object();
  json.key("pages");
  json.number(ex.pages().size());
  json.key("page_bytes");
  total(s.page_bytes);
  json.key("calls");
  json.begin_array();
  for (const HostCallView call : ex.calls()) {
    json.begin_object();
    json.key("name");
    json.string(call.name());
    json.key("inputs");
    json.number(call.inputs().size());
    json.key("outputs");
    json.number(call.outputs().size());
    json.key("invocations");
    json.number(call.invocations());
    json.end_object();
  }
  json.end_array();
  json.end_object();

  json.key("entry_points");
  json.begin_array();
  for (const EntryPointView e : app.entry_points()) {
    json.begin_object();
    json.key("name");
    json.string(e.name());
    json.key("command");
    json.number(e.command());
    json.key("external_syncs");
    json.number(e.external_syncs());
    json.end_object();
  }
  json.end_array();
  json.key("config_writes");
  json.number(app.device_config_writes().size());
  json.key("profile_plans");
  json.number(app.profile_tiles().size());
  json.key("profile_steps");
  total(s.profile_steps);
  json.key("debug_symbols");
  json.number(app.debug_symbols().size());
  json.key("debug_regions");
  json.number(app.debug_regions().size());
  json.end_object();
  json.end_document();
}

}  // namespace

int info(const std::string& path, const InfoOptions& options) {
  std::size_t fault_count = 0;
  EachFault count([&](PackageError) {
    ++fault_count;
    return true;
  });
  const auto view = options.no_validate ? open_or_report(path, count) : open_or_report(path);
  if (!view) return exit_trouble;
  const View<Application>& app = *view;
  const ReadDetails& details = view->details();
  const Summary s = summarise(app);
  Output out;
  if (options.json) {
    info_json(out, path, *view, details, s, options.no_validate);
    if (const auto error = out.finish()) return write_failure(*error);
    return exit_ok;
  }
  const std::string at_least = details.trailing_bytes_exact ? "" : "at least ";
  out.print("{:<{}}{}\n", "package", label_width, shown_cut(path, line_width - label_width));
  out.print("{:<{}}{}{}\n", "file size", label_width, at_least,
            size_and_bytes(Total{details.message_bytes} + details.trailing_bytes));
  // A package is read only when its header is exactly this.
  out.print("{:<{}}schema {}, target {}, tile memory 0x{:x}..0x{:x}\n", "header", label_width,
            supported_schema_version, supported_target, tile_memory_base, tile_memory_end);
  out.print("{:<{}}{}\n", "compiler version", label_width, shown_cut(app.compiler_version(), line_width - label_width));
  out.print("{:<{}}{}\n", "tiles", label_width, app.tiles().size());
  out.print("{:<{}}{}\n", "tile numbers", label_width, tile_numbers(s));
  out.print("{:<{}}{}{}\n", "trailing bytes", label_width, at_least, details.trailing_bytes);
  if (options.no_validate) faults(out, *view, fault_count, options.all);
  segments(out, s);
  tile_occupancy(out, s, options.all);
  bindings(out, s, options.all);
  host_exchange(out, app.host_exchange(), s, options.all);
  const auto entry_points = app.entry_points();
  out.print("\n{:<{}}{}\n", "entry points", label_width, entry_points.size());
  const std::size_t rows = options.all ? entry_points.size() : std::min(table_rows, entry_points.size());
  for (std::size_t i = 0; i < rows; ++i) {
    const EntryPointView e = entry_points[i];
    out.print("  {} command {}, external syncs {}\n", fit(shown_cut(e.name(), name_width), name_width), e.command(),
              e.external_syncs());
  }
  left_out(out, rows, entry_points.size(), "entry points");
  out.print("{:<{}}{}\n", "config writes", label_width, app.device_config_writes().size());
  out.print("{:<{}}{}, steps {}\n", "profile plans", label_width, app.profile_tiles().size(), digits(s.profile_steps));
  out.print("{:<{}}{}\n", "debug symbols", label_width, app.debug_symbols().size());
  out.print("{:<{}}{}\n", "debug regions", label_width, app.debug_regions().size());
  if (const auto error = out.finish()) return write_failure(*error);
  return exit_ok;
}

}  // namespace torv_package::cli
