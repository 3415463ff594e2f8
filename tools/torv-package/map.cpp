// torv-package map: one self-contained HTML page that draws a package: the device's tiles
// coloured by how much of their memory window their segments take, and each tile's memory
// as a strip of segments, binding slices and debug regions, each naming itself on hover.
//
// Linear in the package's records but for sorting: records are grouped by tile through
// sorted keys (map_index.hpp), and the page is written out as it is made.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/compile.h>
#include <fmt/format.h>

#include "commands.hpp"
#include "map_faults.hpp"
#include "map_index.hpp"
#include "output.hpp"
#include "output_file.hpp"

namespace torv_package::cli {
namespace {

// The device's tiles, drawn as a grid whatever the package holds; tiles numbered beyond
// it get a row of their own.
constexpr std::uint32_t device_tiles = 1472;
constexpr std::uint32_t grid_columns = 32;
constexpr int cell_width = 30, cell_height = 16;
constexpr std::uint64_t strip_width = 10000;  // strip units across the window
constexpr std::size_t fullest_shown = 10;

// The page as it is written: formatted straight into a buffer that goes out to the file
// every megabyte or so (flush() after each element), which keeps a page quick to write
// and small in memory however large it is.
class Html {
 public:
  explicit Html(int fd) : fd_(fd) { text_.reserve(flush_at + 64 * 1024); }
  Html& operator+=(std::string_view more) {
    text_.append(more);
    return *this;
  }
  Html& operator+=(char c) {
    text_.push_back(c);
    return *this;
  }
  fmt::memory_buffer& buffer() { return text_; }
  // Writes out what is buffered once there is enough of it (or always, when `all`).
  void flush(bool all = false) {
    if (!all && text_.size() < flush_at) return;
    std::string_view rest(text_.data(), text_.size());
    while (!rest.empty() && !error_) {
      const ssize_t n = ::write(fd_, rest.data(), rest.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) error_ = errno;
      if (n > 0) rest.remove_prefix(static_cast<std::size_t>(n));
    }
    text_.clear();
  }
  // The OS error number of the first failed write.
  std::optional<int> error() const { return error_; }

 private:
  static constexpr std::size_t flush_at = std::size_t{1} << 20;
  int fd_;
  fmt::memory_buffer text_;
  std::optional<int> error_;
};

void escaped(Html& out, std::string_view text) {
  while (!text.empty()) {
    const std::size_t plain = text.find_first_of("&<>\"");
    out += text.substr(0, plain);
    if (plain == std::string_view::npos) return;
    switch (text[plain]) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      default:
        out += "&quot;";
    }
    text.remove_prefix(plain + 1);
  }
}

// A name from the package: escaped for a terminal as the other commands show it (so
// controls never reach the page), then for HTML. One longer than longest_name bytes is
// cut between characters and ends in "...": a name repeats in every slice's hover text,
// and the page must grow with the records, not with the records times a name's length.
// `text`, cut between characters when it is longer than longest_name bytes; whether it
// was cut.
std::pair<std::string_view, bool> cut_long(std::string_view text) {
  constexpr std::size_t longest_name = 1024;
  if (text.size() <= longest_name) return {text, false};
  std::size_t end = longest_name;
  // Back over the continuation bytes of the character cut through (at most three).
  for (int i = 0; i < 3 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80; ++i) --end;
  return {text.substr(0, end), true};
}

void name(Html& out, std::string_view whole) {
  const auto [text, cut] = cut_long(whole);
  const bool plain =
      !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
  if (plain) {  // printable ASCII shows as itself
    escaped(out, text);
  } else {
    escaped(out, shown(text));
  }
  if (cut) out += "...";
}

template <class... Args>
void put(Html& out, fmt::format_string<Args...> format, Args&&... args) {
  fmt::format_to(fmt::appender(out.buffer()), format, std::forward<Args>(args)...);
}

int occupancy_class(std::uint64_t memory) {
  if (memory == 0) return 0;
  const std::uint64_t quarter = (memory * 4 + tile_memory_size - 1) / tile_memory_size;  // 1..4
  return static_cast<int>(std::min<std::uint64_t>(quarter, 4));
}

double percent(std::uint64_t memory) { return 100.0 * static_cast<double>(memory) / tile_memory_size; }

// "0x60000..0x60100 (256 bytes)"
void range(Html& out, std::uint64_t address, std::uint64_t size) {
  // Compiled formats: a full-device page has some 50,000 of these.
  fmt::format_to(fmt::appender(out.buffer()), FMT_COMPILE("0x{:x}..0x{:x} ({} byte{})"), address, address + size, size,
                 size == 1 ? "" : "s");
}

// x of an address on a strip, clamped to the window: integers, which are quick to write.
std::uint64_t strip_x(std::uint64_t address) {
  const std::uint64_t at = std::clamp<std::uint64_t>(address, tile_memory_base, tile_memory_end) - tile_memory_base;
  return strip_width * at / tile_memory_size;
}

// A bar on a strip; one that would be thinner than the eye can see is widened a little.
void bar(Html& out, std::string_view css, int y, int height, std::uint64_t address, std::uint64_t size) {
  const std::uint64_t x = strip_x(address);
  const std::uint64_t width = std::max<std::uint64_t>(strip_x(address + size) - x, 8);
  fmt::format_to(fmt::appender(out.buffer()),
                 FMT_COMPILE("<rect class=\"{}\" x=\"{}\" y=\"{}\" width=\"{}\" height=\"{}\"/>"), css, x, y, width,
                 height);
}

constexpr std::string_view style = R"(
body{font:14px/1.4 system-ui,sans-serif;margin:1.5em;color:#222;background:#fff}
h1{font-size:1.4em;margin:0 0 .5em}h2{font-size:1.15em;margin:1.2em 0 .4em}
h3{font-size:1em;margin:.8em 0 .2em;font-weight:600}
table{border-collapse:collapse}td,th{padding:.1em .8em .1em 0;text-align:left}
td.n,th.n{text-align:right}
.legend span{display:inline-block;margin-right:1.2em}
.legend i{display:inline-block;width:1.1em;height:.9em;vertical-align:middle;margin-right:.3em;border:1px solid #999}
svg.grid text{font:8px sans-serif;fill:#111;pointer-events:none}
svg.grid rect{stroke:#fff;stroke-width:1}
svg.grid a:hover rect{stroke:#000}
.o0{fill:#f3f3f3;background:#f3f3f3}.o1{fill:#c6dbef;background:#c6dbef}.o2{fill:#6baed6;background:#6baed6}
.o3{fill:#2171b5;background:#2171b5}.o4{fill:#08306b;background:#08306b}
.absent{fill:none;stroke:#ddd!important;stroke-dasharray:2 2}.legend i.absent{border:1px dashed #bbb}
svg.grid .o3+text,svg.grid .o4+text{fill:#fff}
svg.strip{width:100%;max-width:1000px;height:44px;display:block;background:#fafafa;border:1px solid #ddd}
.data{fill:#2171b5;background:#2171b5}.zero{fill:#9ecae1;background:#9ecae1}.slice{fill:#31a354;background:#31a354}
.outside{fill:#e6550d;background:#e6550d}.region{fill:#756bb1;background:#756bb1}
svg.strip g:hover rect{stroke:#000;stroke-width:1;vector-effect:non-scaling-stroke}
svg.grid rect.fault{stroke:#d7301f!important;stroke-width:2.5}
svg.strip g.fault rect{stroke:#d7301f;stroke-width:2.5;vector-effect:non-scaling-stroke}
.legend i.fault{border:2px solid #d7301f}h3.fault{color:#d7301f}
.faults{border:2px solid #d7301f;background:#fff5f0;padding:.2em 1em;margin:1em 0}.faults li{font-family:monospace}
)";

void legend(Html& out, bool faults) {
  out +=
      "<p class=\"legend\">Tiles, by how much of the 0x9c000-byte window their segments take: "
      "<span><i class=\"o0\"></i>empty</span><span><i class=\"o1\"></i>up to 25%</span>"
      "<span><i class=\"o2\"></i>up to 50%</span><span><i class=\"o3\"></i>up to 75%</span>"
      "<span><i class=\"o4\"></i>up to 100%</span><span><i class=\"absent\"></i>absent</span></p>\n"
      "<p class=\"legend\">Strips, 0x4c000 to 0xe8000: <span><i class=\"data\"></i>stored data</span>"
      "<span><i class=\"zero\"></i>zero-filled rest of a segment</span><span><i class=\"slice\"></i>binding "
      "slice</span>"
      "<span><i class=\"outside\"></i>binding slice outside every segment</span>"
      "<span><i class=\"region\"></i>debug region</span></p>\n";
  if (faults) out += "<p class=\"legend\"><span><i class=\"fault\"></i>what a fault concerns</span></p>\n";
}

// One grid cell: a present tile links to its strip. A faulty one (the tile, or something
// drawn on it) is outlined and says so.
void cell(Html& out, std::uint32_t number, int x, int y, const TileSummary* tile, bool faulty) {
  const std::string_view fault_class = faulty ? " fault" : "";
  const std::string_view fault_text = faulty ? ", with faults" : "";
  if (tile == nullptr) {
    put(out,
        "<rect class=\"absent{}\" x=\"{}\" y=\"{}\" width=\"{}\" height=\"{}\"><title>tile {}: absent{}</title></rect>\n",
        fault_class, x, y, cell_width, cell_height, number, fault_text);
  } else {
    put(out,
        "<a href=\"#tile-{0}\"><rect class=\"o{1}{12}\" x=\"{2}\" y=\"{3}\" width=\"{4}\" height=\"{5}\"><title>tile {0}: "
        "{6:.1f}% of the window, {7} segment{8}, 0x{9:x} bytes{13}</title></rect><text x=\"{10}\" "
        "y=\"{11}\">{0}</text></a>\n",
        number, occupancy_class(tile->memory), x, y, cell_width, cell_height, percent(tile->memory), tile->segments,
        tile->segments == 1 ? "" : "s", tile->memory, x + 2, y + cell_height - 5, fault_class, fault_text);
  }
  out.flush();
}

// The segments of one tile as [address, end) sorted by address, each end raised to the
// highest end so far: a range lies inside some segment exactly when the last segment
// starting at or below it reaches its end.
class Spans {
 public:
  void clear() { spans_.clear(); }
  void add(std::uint64_t address, std::uint64_t end) { spans_.emplace_back(address, end); }
  void finish() {
    std::sort(spans_.begin(), spans_.end());
    for (std::size_t i = 1; i < spans_.size(); ++i) spans_[i].second = std::max(spans_[i].second, spans_[i - 1].second);
  }
  bool cover(std::uint64_t address, std::uint64_t size) const {
    const auto after = std::upper_bound(spans_.begin(), spans_.end(), address,
                                        [](std::uint64_t a, const auto& span) { return a < span.first; });
    return after != spans_.begin() && std::prev(after)->second >= address + size;
  }

 private:
  std::vector<std::pair<std::uint64_t, std::uint64_t>> spans_;
};

// What one strip draws: a tile's image (if it has one), the keys of its slices and of its
// debug regions.
struct StripContents {
  std::optional<View<TileImage>> image;
  std::uint32_t image_position = 0;  // in the package's tiles
  std::span<const std::uint64_t> slices, regions;
};

// Opens an element's group, marked when a fault concerns it.
void group(Html& out, bool faulty) { out += faulty ? "<g class=\"fault\">" : "<g>"; }
// Ends its hover text.
void end_title(Html& out, bool faulty) { out += faulty ? ", with a fault</title></g>" : "</title></g>"; }

using Regions = ViewValue<std::vector<DebugRegion>>::type;

void strip(Html& out, const StripContents& contents, const SlicesByTile& slices, const Regions& regions,
           Spans& spans, const FaultMarks* marks) {
  out += "<svg class=\"strip\" viewBox=\"0 0 10000 44\" preserveAspectRatio=\"none\">";
  spans.clear();
  if (contents.image) {
    const auto segments = contents.image->segments();
    for (std::uint32_t i = 0; i < segments.size(); ++i) {
      const auto segment = segments[i];
      const bool faulty = marks != nullptr && marks->segment(contents.image_position, i);
      const std::uint64_t address = segment.address(), memory = segment.memory_size(), stored = segment.data().size();
      spans.add(address, address + memory);
      const std::uint64_t data_end = std::min(stored, memory);
      // One hover text for the segment's two parts, which the colours tell apart.
      group(out, faulty);
      if (data_end > 0) bar(out, "data", 0, 16, address, data_end);
      if (memory > data_end) bar(out, "zero", 0, 16, address + data_end, memory - data_end);
      out += "<title>segment ";
      range(out, address, memory);
      if (data_end > 0) {
        out += ": stored data ";
        range(out, address, data_end);
      }
      if (memory > data_end) {
        out += data_end > 0 ? ", zero-filled " : ": zero-filled ";
        range(out, address + data_end, memory - data_end);
      }
      end_title(out, faulty);
      out.flush();
    }
  }
  spans.finish();
  for (const std::uint64_t key : contents.slices) {
    const SliceOnTile s = slices.slice(key);
    const bool inside = spans.cover(s.address, s.size);
    const bool faulty = marks != nullptr && marks->slice(s.list, s.binding_position, static_cast<std::uint32_t>(s.index));
    group(out, faulty);
    bar(out, inside ? "slice" : "outside", 18, 12, s.address, s.size);
    put(out, "<title>{} ", s.kind);
    name(out, s.binding);
    put(out, " slice {} ", s.index);
    range(out, s.address, s.size);
    if (!inside) out += ", outside every segment";
    end_title(out, faulty);
    out.flush();
  }
  for (const std::uint64_t key : contents.regions) {
    const auto r = regions[key_position(key)];
    const bool faulty = marks != nullptr && marks->region(key_position(key));
    group(out, faulty);
    bar(out, "region", 32, 12, r.address(), r.size());
    out += "<title>debug region ";
    name(out, r.name());
    out += ' ';
    range(out, r.address(), r.size());
    end_title(out, faulty);
    out.flush();
  }
  out += "</svg>\n";
}

void header(const View<Application>& app, std::span<const TileSummary> tiles, Html& out,
            const std::function<void(Html&)>& banner) {
  std::uint64_t memory = 0, stored = 0, segments = 0;
  for (const TileSummary& t : tiles) {
    memory += t.memory;
    stored += t.stored;
    segments += t.segments;
  }
  out += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Package map: ";
  name(out, app.compiler_version());
  put(out, "</title>\n<style>{}</style></head><body>\n<h1>Package map</h1>\n", style);
  banner(out);
  out += "<table>\n<tr><th>compiler version</th><td>";
  name(out, app.compiler_version());
  put(out,
      "</td></tr>\n<tr><th>tiles</th><td>{}</td></tr>\n<tr><th>segments</th><td>{}</td></tr>\n"
      "<tr><th>stored data</th><td>{} bytes</td></tr>\n<tr><th>tile memory taken</th><td>{} bytes ({:.1f}% of {} "
      "windows of 0x{:x} bytes)</td></tr>\n</table>\n",
      tiles.size(), segments, stored, memory,
      tiles.empty() ? 0.0
                    : 100.0 * static_cast<double>(memory) / (static_cast<double>(tile_memory_size) * tiles.size()),
      tiles.size(), tile_memory_size);

  // The fullest tiles, fullest first, then by number.
  std::array<TileSummary, fullest_shown> fullest;
  const auto shown_end = std::partial_sort_copy(tiles.begin(), tiles.end(), fullest.begin(), fullest.end(),
                                                [](const TileSummary& a, const TileSummary& b) {
                                                  return a.memory != b.memory ? a.memory > b.memory
                                                                              : a.number < b.number;
                                                });
  out +=
      "<h2>Fullest tiles</h2>\n<table class=\"fullest\">\n<tr><th class=\"n\">tile</th><th class=\"n\">segments</th>"
      "<th class=\"n\">stored bytes</th><th class=\"n\">memory bytes</th><th class=\"n\">of the window</th></tr>\n";
  for (auto t = fullest.begin(); t != shown_end; ++t) {
    put(out,
        "<tr><td class=\"n\"><a href=\"#tile-{0}\">{0}</a></td><td class=\"n\">{1}</td><td class=\"n\">{2}</td>"
        "<td class=\"n\">{3}</td><td class=\"n\">{4:.1f}%</td></tr>\n",
        t->number, t->segments, t->stored, t->memory, percent(t->memory));
  }
  out += "</table>\n";
}

// The device's tiles by number, then a row of their own for tiles numbered beyond it.
void grid(std::span<const TileSummary> tiles, Html& out, const FaultMarks* marks) {
  out += "<h2>Device</h2>\n";
  legend(out, marks != nullptr);
  const auto faulty = [&](std::uint32_t number) { return marks != nullptr && marks->tile_number(number); };
  const auto beyond = std::find_if(tiles.begin(), tiles.end(), [](const TileSummary& t) {
    return t.number >= device_tiles;
  });
  const std::size_t beyond_count = static_cast<std::size_t>(tiles.end() - beyond);
  const std::uint32_t rows = (device_tiles + grid_columns - 1) / grid_columns;
  const auto extra_rows = static_cast<std::uint32_t>((beyond_count + grid_columns - 1) / grid_columns);
  const int height = static_cast<int>(rows + extra_rows) * cell_height + (extra_rows > 0 ? 8 : 0);
  put(out, "<svg class=\"grid\" width=\"{0}\" height=\"{1}\" viewBox=\"0 0 {0} {1}\">\n", grid_columns * cell_width,
      height);
  auto next = tiles.begin();
  for (std::uint32_t n = 0; n < device_tiles; ++n) {
    const TileSummary* tile = next != beyond && next->number == n ? &*next : nullptr;
    while (next != beyond && next->number == n) ++next;
    cell(out, n, static_cast<int>(n % grid_columns) * cell_width, static_cast<int>(n / grid_columns) * cell_height,
         tile, faulty(n));
  }
  for (std::size_t i = 0; i < beyond_count; ++i) {
    cell(out, beyond[i].number, static_cast<int>(i % grid_columns) * cell_width,
         static_cast<int>(rows + i / grid_columns) * cell_height + 8, &beyond[i], faulty(beyond[i].number));
  }
  out += "</svg>\n";
  if (beyond_count > 0) {
    put(out, "<p>The last row: {} tiles numbered past the device's {}.</p>\n", beyond_count, device_tiles);
  }
}

// The page; with `marks`, what the rules' faults concern is marked, and `banner` lists
// the faults at the top.
void render(const View<Application>& app, Html& out, const FaultMarks* marks,
            const std::function<void(Html&)>& banner) {
  const std::vector<TileSummary> tiles = tile_summaries(app);
  const SlicesByTile slices(app);
  const std::vector<std::uint64_t> region_keys = regions_by_tile(app);
  const auto images = app.tiles();
  const auto regions = app.debug_regions();

  header(app, tiles, out, banner);
  grid(tiles, out, marks);

  // Regions tied to no tile sort last.
  std::span<const std::uint64_t> placed(region_keys);
  const auto every = std::find_if(region_keys.begin(), region_keys.end(),
                                  [](std::uint64_t key) { return key_tile(key) == all_tiles; });
  placed = placed.first(static_cast<std::size_t>(every - region_keys.begin()));
  Spans spans;
  if (every != region_keys.end()) {
    out += "<h2>Debug regions on every tile</h2>\n";
    StripContents everywhere;
    everywhere.regions = std::span(every, region_keys.end());
    strip(out, everywhere, slices, regions, spans, marks);
  }

  // One section per tile number, in order: the tiles, and any number that only slices or
  // regions name (absent).
  out += "<h2>Tiles</h2>\n";
  std::span<const std::uint64_t> slice_keys = slices.keys();
  std::size_t t = 0;
  constexpr std::uint64_t none = std::uint64_t{1} << 32;
  while (!out.error()) {
    const std::uint64_t number = std::min({t < tiles.size() ? tiles[t].number : none,
                                           slice_keys.empty() ? none : key_tile(slice_keys.front()),
                                           placed.empty() ? none : key_tile(placed.front())});
    if (number == none) break;
    const auto tile = static_cast<std::uint32_t>(number);
    StripContents contents;
    if (t < tiles.size() && tiles[t].number == tile) {
      contents.image_position = tiles[t].index;
      contents.image = images[tiles[t++].index];
    }
    contents.slices = take_tile(slice_keys, tile);
    contents.regions = take_tile(placed, tile);
    const bool faulty = marks != nullptr && contents.image && marks->tile(contents.image_position);
    put(out, "<section id=\"tile-{0}\"><h3{1}>tile {0}{2}</h3>", tile, faulty ? " class=\"fault\"" : "",
        !contents.image ? " (absent)" : faulty ? " (with a fault)" : "");
    strip(out, contents, slices, regions, spans, marks);
    out += "</section>\n";
  }
  out += "</body></html>\n";
  out.flush(true);
}

// Faults the banner lists before folding the rest away.
constexpr std::size_t banner_rows = 20;

// The rules' faults at the top of the page, found again and written as they come.
void banner(Html& out, const PackageView& view, std::size_t count) {
  put(out, "<div class=\"faults\"><h2>{} fault{}: check refuses this package</h2>\n<ol>\n", count,
      count == 1 ? "" : "s");
  std::size_t listed = 0;
  EachFault list([&](PackageError error) {
    if (listed == banner_rows) {
      put(out, "</ol>\n<details><summary>{} more</summary><ol start=\"{}\">\n", count - banner_rows, banner_rows + 1);
    }
    // The report's sentence, already escaped for a terminal, and long names cut.
    const std::string sentence = describe(error);
    const auto [text, cut] = cut_long(sentence);
    out += "<li>";
    escaped(out, text);
    out += cut ? "...</li>\n" : "</li>\n";
    out.flush();
    ++listed;
    return !out.error();
  });
  view.validate(list);
  out += listed > banner_rows ? "</ol></details></div>\n" : "</ol></div>\n";
}

}  // namespace

int map(const std::string& path, const MapOptions& options) {
  auto file = OutputFile::open(options.output, {path});
  if (!file) return exit_trouble;
  FaultMarks marks;
  std::size_t fault_count = 0;
  EachFault mark([&](PackageError error) {
    ++fault_count;
    marks.add(error.location());
    return true;
  });
  const auto view = options.no_validate ? open_or_report(path, mark) : open_or_report(path);
  if (!view) return exit_trouble;
  Html out(file->fd());
  try {
    if (fault_count == 0) {
      render(*view, out, nullptr, [](Html&) {});
    } else {
      marks.finish(*view);
      render(*view, out, &marks, [&](Html& page) { banner(page, *view, fault_count); });
    }
  } catch (const std::bad_alloc&) {
    report(fmt::format("not enough memory to draw package {}", shown(path)));
    return exit_trouble;
  } catch (const std::length_error&) {
    report(fmt::format("not enough memory to draw package {}", shown(path)));
    return exit_trouble;
  }
  return file->finish(out.error());
}

}  // namespace torv_package::cli
