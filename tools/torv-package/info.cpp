// torv-package info: a summary of a package for people, in aligned columns that fit 80
// characters.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <utf8proc.h>

#include "commands.hpp"
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

// The width of a right-aligned number column: `least`, or wider for a value that would
// not keep a space before it.
std::size_t number_width(std::size_t least, const std::vector<Total>& values) {
  std::size_t width = least;
  for (const Total v : values) width = std::max(width, digits(v).size() + 1);
  return width;
}

// Minimum, median (the lower of the two middle values) and maximum.
struct Spread {
  Total min = 0, median = 0, max = 0;
};

Spread spread(std::vector<Total> values) {
  if (values.empty()) return {};
  std::sort(values.begin(), values.end());
  return {values.front(), values[(values.size() - 1) / 2], values.back()};
}

Total sum(const std::vector<Total>& values) {
  Total total = 0;
  for (const Total v : values) total += v;
  return total;
}

void segments(Output& out, const View<Application>& app) {
  std::vector<Total> counts, data, memory;
  for (const TileImageView tile : app.tiles()) {
    Total tile_data = 0, tile_memory = 0;
    const auto tile_segments = tile.segments();
    for (const SegmentView s : tile_segments) {
      tile_data += s.data().size();
      tile_memory += s.memory_size();
    }
    counts.push_back(tile_segments.size());
    data.push_back(tile_data);
    memory.push_back(tile_memory);
  }
  const Spread c = spread(counts), d = spread(data), m = spread(memory);
  const struct {
    const char* label;
    Total count, data, memory;
  } rows[] = {{"  total", sum(counts), sum(data), sum(memory)},
              {"  per tile min", c.min, d.min, m.min},
              {"  per tile median", c.median, d.median, m.median},
              {"  per tile max", c.max, d.max, m.max}};
  std::vector<Total> count_cells, data_cells, memory_cells;
  for (const auto& row : rows) {
    count_cells.push_back(row.count);
    data_cells.push_back(row.data);
    memory_cells.push_back(row.memory);
  }
  const std::size_t cw = number_width(12, count_cells), dw = number_width(16, data_cells),
                    mw = number_width(16, memory_cells);
  out.print("\n{:<{}}{:>{}}{:>{}}{:>{}}\n", "segments", label_width, "count", cw, "data bytes", dw, "memory bytes", mw);
  for (const auto& row : rows) {
    out.print("{:<{}}{:>{}}{:>{}}{:>{}}\n", row.label, label_width, row.count, cw, row.data, dw, row.memory, mw);
  }
}

void bindings(Output& out, const View<Application>& app) {
  using Bindings = decltype(app.inputs());
  const std::pair<const char*, Bindings> lists[] = {
      {"input", app.inputs()}, {"output", app.outputs()}, {"weight", app.weights()}};
  const std::size_t count = app.inputs().size() + app.outputs().size() + app.weights().size();
  out.print("\n{:<{}}{}\n", "bindings", label_width, count);
  if (count == 0) return;
  std::vector<Total> slice_counts, byte_counts;
  for (const auto& [kind, list] : lists) {
    for (const BindingView b : list) {
      const auto slices = b.slices();
      Total bytes = 0;
      for (const RegionSliceView s : slices) bytes += s.size();
      slice_counts.push_back(slices.size());
      byte_counts.push_back(bytes);
    }
  }
  // Wider numbers take their room from the name column.
  const std::size_t sw = number_width(7, slice_counts), bw = number_width(14, byte_counts);
  const std::size_t nw = name_width - std::min<std::size_t>(name_width - 8, sw - 7 + bw - 14);
  out.print("  {:<7}{} {:<8} {:<16}{:>{}}{:>{}}\n", "kind", fit("name", nw), "dtype", "shape", "slices", sw, "bytes",
            bw);
  std::size_t i = 0;
  for (const auto& [kind, list] : lists) {
    for (const BindingView b : list) {
      out.print("  {:<7}{} {} {}{:>{}}{:>{}}\n", kind, fit(shown_cut(b.name(), nw), nw), fit(shown_cut(b.dtype(), 8), 8),
                fit(fmt::format("[{}]", fmt::join(b.shape(), ", ")), 16), slice_counts[i], sw, byte_counts[i], bw);
      ++i;
    }
  }
}

void host_exchange(Output& out, const HostExchangeView& ex) {
  const auto pages = ex.pages();
  const auto calls = ex.calls();
  Total page_bytes = 0;
  for (const HostPageView p : pages) page_bytes += p.size();
  out.print("\n{:<{}}pages {}, calls {}\n", "host exchange", label_width, pages.size(), calls.size());
  out.print("{:<{}}{}\n", "  page bytes", label_width, page_bytes);
  if (calls.empty()) return;
  out.print("  {}{:>10}{:>10}{:>14}\n", fit("call", name_width + 8), "inputs", "outputs", "invocations");
  for (const HostCallView call : calls) {
    out.print("  {}{:>10}{:>10}{:>14}\n", fit(shown_cut(call.name(), name_width + 8), name_width + 8),
              call.inputs().size(), call.outputs().size(), call.invocations());
  }
}

}  // namespace

int info(const std::string& path) {
  const auto view = open_or_report(path);
  if (!view) return exit_trouble;
  const View<Application>& app = *view;
  const ReadDetails& details = view->details();
  Output out;
  out.print("{:<{}}{}\n", "package", label_width, shown_cut(path, line_width - label_width));
  out.print("{:<{}}{}\n", "compiler version", label_width, shown_cut(app.compiler_version(), line_width - label_width));
  out.print("{:<{}}{}\n", "tiles", label_width, app.tiles().size());
  out.print("{:<{}}{}{}\n", "trailing bytes", label_width, details.trailing_bytes_exact ? "" : "at least ",
            details.trailing_bytes);
  segments(out, app);
  bindings(out, app);
  host_exchange(out, app.host_exchange());
  const auto plans = app.profile_tiles();
  Total steps = 0;
  for (const TileProfilePlanView plan : plans) steps += plan.steps().size();
  const auto entry_points = app.entry_points();
  out.print("\n{:<{}}{}\n", "entry points", label_width, entry_points.size());
  for (const EntryPointView e : entry_points) {
    out.print("  {} command {}, external syncs {}\n", fit(shown_cut(e.name(), name_width), name_width), e.command(),
              e.external_syncs());
  }
  out.print("{:<{}}{}\n", "config writes", label_width, app.device_config_writes().size());
  out.print("{:<{}}{}, steps {}\n", "profile plans", label_width, plans.size(), steps);
  out.print("{:<{}}{}\n", "debug symbols", label_width, app.debug_symbols().size());
  out.print("{:<{}}{}\n", "debug regions", label_width, app.debug_regions().size());
  if (const auto error = out.finish()) return write_failure(*error);
  return exit_ok;
}

}  // namespace torv_package::cli
