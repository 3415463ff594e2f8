// torv-package map: one self-contained HTML page that draws a package: the device's tiles
// coloured by how much of their memory window their segments take, and each tile's memory
// as a strip of segments, binding slices and debug regions, each naming itself on hover.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <vector>

#include <fmt/compile.h>
#include <fmt/format.h>

#include "commands.hpp"
#include "output.hpp"

namespace torv_package::cli {
namespace {

// The device's tiles, drawn as a grid whatever the package holds; tiles numbered beyond
// it get a row of their own.
constexpr std::uint32_t device_tiles = 1472;
constexpr std::uint32_t grid_columns = 32;
constexpr int cell_width = 30, cell_height = 16;
constexpr std::uint64_t strip_width = 10000;  // strip units across the window
constexpr std::size_t fullest_shown = 10;

struct Tile {
  std::uint32_t number = 0;
  std::size_t index = 0;     // in the package's list
  std::uint64_t memory = 0;  // bytes of the window its segments take
  std::uint64_t stored = 0;  // bytes of data stored for them
  std::size_t segments = 0;
};

struct Slice {
  std::string_view kind;  // input, output or weight
  std::string_view binding;
  std::size_t index;
  std::uint64_t address, size;
};

struct Region {
  std::string_view name;
  std::uint64_t address, size;
};

// The page as it is written: formatted straight into a buffer that goes out to the file
// every megabyte or so, which keeps a full-device page quick to write and small in memory.
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
// controls never reach the page), then for HTML.
void name(Html& out, std::string_view text) {
  const bool plain =
      !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
  if (plain) {  // printable ASCII shows as itself
    escaped(out, text);
  } else {
    escaped(out, shown(text));
  }
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
)";

void legend(Html& out) {
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
}

// One grid cell: a present tile links to its strip.
void cell(Html& out, std::uint32_t number, int x, int y, const Tile* tile) {
  if (tile == nullptr) {
    put(out,
        "<rect class=\"absent\" x=\"{}\" y=\"{}\" width=\"{}\" height=\"{}\"><title>tile {}: absent</title></rect>\n",
        x, y, cell_width, cell_height, number);
    return;
  }
  put(out,
      "<a href=\"#tile-{0}\"><rect class=\"o{1}\" x=\"{2}\" y=\"{3}\" width=\"{4}\" height=\"{5}\"><title>tile {0}: "
      "{6:.1f}% of the window, {7} segment{8}, 0x{9:x} bytes</title></rect><text x=\"{10}\" "
      "y=\"{11}\">{0}</text></a>\n",
      number, occupancy_class(tile->memory), x, y, cell_width, cell_height, percent(tile->memory), tile->segments,
      tile->segments == 1 ? "" : "s", tile->memory, x + 2, y + cell_height - 5);
}

void strip(Html& out, const View<TileImage>* image, const std::vector<Slice>* slices,
           const std::vector<Region>* regions) {
  out += "<svg class=\"strip\" viewBox=\"0 0 10000 44\" preserveAspectRatio=\"none\">";
  std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;  // segments' [address, end)
  if (image != nullptr) {
    for (const auto segment : image->segments()) {
      const std::uint64_t address = segment.address(), memory = segment.memory_size(), stored = segment.data().size();
      spans.emplace_back(address, address + memory);
      const std::uint64_t data_end = std::min(stored, memory);
      // One hover text for the segment's two parts, which the colours tell apart.
      out += "<g>";
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
      out += "</title></g>";
    }
  }
  if (slices != nullptr) {
    for (const Slice& s : *slices) {
      const bool inside = std::any_of(spans.begin(), spans.end(), [&](const auto& span) {
        return s.address >= span.first && s.address + s.size <= span.second;
      });
      out += "<g>";
      bar(out, inside ? "slice" : "outside", 18, 12, s.address, s.size);
      put(out, "<title>{} ", s.kind);
      name(out, s.binding);
      put(out, " slice {} ", s.index);
      range(out, s.address, s.size);
      if (!inside) out += ", outside every segment";
      out += "</title></g>";
    }
  }
  if (regions != nullptr) {
    for (const Region& r : *regions) {
      out += "<g>";
      bar(out, "region", 32, 12, r.address, r.size);
      out += "<title>debug region ";
      name(out, r.name);
      out += ' ';
      range(out, r.address, r.size);
      out += "</title></g>";
    }
  }
  out += "</svg>\n";
}

void render(const View<Application>& app, Html& out) {
  std::vector<Tile> tiles;
  std::unordered_map<std::uint32_t, std::size_t> by_number;  // into `tiles`
  const auto images = app.tiles();
  tiles.reserve(images.size());
  std::uint64_t memory = 0, stored = 0, segments = 0;
  for (std::size_t i = 0; i < images.size(); ++i) {
    Tile tile{images[i].physical_tile(), i};
    for (const auto segment : images[i].segments()) {
      const std::uint64_t start = std::max<std::uint64_t>(segment.address(), tile_memory_base);
      const std::uint64_t end =
          std::min<std::uint64_t>(std::uint64_t{segment.address()} + segment.memory_size(), tile_memory_end);
      if (end > start) tile.memory += end - start;
      tile.stored += segment.data().size();
      ++tile.segments;
    }
    memory += tile.memory;
    stored += tile.stored;
    segments += tile.segments;
    by_number.emplace(tile.number, tiles.size());
    tiles.push_back(tile);
  }

  std::unordered_map<std::uint32_t, std::vector<Slice>> slices;
  const auto add_slices = [&](std::string_view kind, const auto& bindings) {
    for (const auto binding : bindings) {
      const auto list = binding.slices();
      for (std::size_t i = 0; i < list.size(); ++i) {
        slices[list[i].tile()].push_back({kind, binding.name(), i, list[i].tile_address(), list[i].size()});
      }
    }
  };
  add_slices("input", app.inputs());
  add_slices("output", app.outputs());
  add_slices("weight", app.weights());
  std::unordered_map<std::uint32_t, std::vector<Region>> regions;
  for (const auto region : app.debug_regions()) {
    regions[region.physical_tile()].push_back({region.name(), region.address(), region.size()});
  }
  const auto find = [](const auto& table, std::uint32_t key) -> const auto* {
    const auto at = table.find(key);
    return at == table.end() ? nullptr : &at->second;
  };

  out += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Package map: ";
  name(out, app.compiler_version());
  put(out, "</title>\n<style>{}</style></head><body>\n<h1>Package map</h1>\n<table>\n<tr><th>compiler version</th><td>",
      style);
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
  std::vector<const Tile*> order;
  for (const Tile& t : tiles) order.push_back(&t);
  const std::size_t shown_count = std::min(fullest_shown, order.size());
  std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(shown_count), order.end(),
                    [](const Tile* a, const Tile* b) {
                      return a->memory != b->memory ? a->memory > b->memory : a->number < b->number;
                    });
  out +=
      "<h2>Fullest tiles</h2>\n<table class=\"fullest\">\n<tr><th class=\"n\">tile</th><th class=\"n\">segments</th>"
      "<th class=\"n\">stored bytes</th><th class=\"n\">memory bytes</th><th class=\"n\">of the window</th></tr>\n";
  for (std::size_t i = 0; i < shown_count; ++i) {
    const Tile& t = *order[i];
    put(out,
        "<tr><td class=\"n\"><a href=\"#tile-{0}\">{0}</a></td><td class=\"n\">{1}</td><td class=\"n\">{2}</td>"
        "<td class=\"n\">{3}</td><td class=\"n\">{4:.1f}%</td></tr>\n",
        t.number, t.segments, t.stored, t.memory, percent(t.memory));
  }
  out += "</table>\n<h2>Device</h2>\n";
  legend(out);

  const std::uint32_t rows = (device_tiles + grid_columns - 1) / grid_columns;
  std::vector<const Tile*> beyond;  // tiles numbered past the device
  for (const Tile& t : tiles) {
    if (t.number >= device_tiles) beyond.push_back(&t);
  }
  std::sort(beyond.begin(), beyond.end(), [](const Tile* a, const Tile* b) { return a->number < b->number; });
  const std::uint32_t extra_rows = static_cast<std::uint32_t>((beyond.size() + grid_columns - 1) / grid_columns);
  const int height = static_cast<int>(rows + extra_rows) * cell_height + (extra_rows > 0 ? 8 : 0);
  put(out, "<svg class=\"grid\" width=\"{0}\" height=\"{1}\" viewBox=\"0 0 {0} {1}\">\n", grid_columns * cell_width,
      height);
  for (std::uint32_t n = 0; n < device_tiles; ++n) {
    const auto at = by_number.find(n);
    cell(out, n, static_cast<int>(n % grid_columns) * cell_width, static_cast<int>(n / grid_columns) * cell_height,
         at == by_number.end() ? nullptr : &tiles[at->second]);
  }
  for (std::size_t i = 0; i < beyond.size(); ++i) {
    cell(out, beyond[i]->number, static_cast<int>(i % grid_columns) * cell_width,
         static_cast<int>(rows + i / grid_columns) * cell_height + 8, beyond[i]);
  }
  out += "</svg>\n";
  if (!beyond.empty())
    put(out, "<p>The last row: {} tiles numbered past the device's {}.</p>\n", beyond.size(), device_tiles);

  if (const auto* every = find(regions, all_tiles)) {
    out += "<h2>Debug regions on every tile</h2>\n";
    strip(out, nullptr, nullptr, every);
  }
  out += "<h2>Tiles</h2>\n";
  std::vector<const Tile*> by_tile;
  for (const Tile& t : tiles) by_tile.push_back(&t);
  std::stable_sort(by_tile.begin(), by_tile.end(), [](const Tile* a, const Tile* b) { return a->number < b->number; });
  for (const Tile* t : by_tile) {
    put(out, "<section id=\"tile-{0}\"><h3>tile {0}</h3>", t->number);
    const auto image = images[t->index];
    strip(out, &image, find(slices, t->number), find(regions, t->number));
    out += "</section>\n";
    out.flush();
  }
  // Slices and regions placed on tiles the package has no image for, by tile number.
  std::vector<std::uint32_t> elsewhere;
  for (const auto& [number, list] : slices) elsewhere.push_back(number);
  for (const auto& [number, list] : regions) {
    if (!slices.contains(number)) elsewhere.push_back(number);
  }
  std::sort(elsewhere.begin(), elsewhere.end());
  for (const std::uint32_t number : elsewhere) {
    if (number == all_tiles || by_number.contains(number)) continue;
    put(out, "<section id=\"tile-{0}\"><h3>tile {0} (absent)</h3>", number);
    strip(out, nullptr, find(slices, number), find(regions, number));
    out += "</section>\n";
    out.flush();
  }
  out += "</body></html>\n";
  out.flush(true);
}

}  // namespace

int map(const std::string& path, const std::optional<std::string>& output) {
  const auto view = open_or_report(path);
  if (!view) return exit_trouble;
  if (!output) {
    Html out(STDOUT_FILENO);
    render(*view, out);
    return out.error() ? write_failure(*out.error()) : exit_ok;
  }
  const int fd = ::open(output->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  std::optional<int> error;
  if (fd < 0) {
    error = errno;
  } else {
    Html out(fd);
    render(*view, out);
    error = out.error();
    if (::close(fd) != 0 && !error) error = errno;
  }
  if (error) {
    report(fmt::format("cannot write {}: {}", shown(*output), std::generic_category().message(*error)));
    return exit_trouble;
  }
  return exit_ok;
}

}  // namespace torv_package::cli
