// torv-package diff: compares two packages structurally, one line per difference.
// Records with an identity are matched by it (tiles and profile plans by physical tile,
// bindings, entry points, host calls and debug symbols by name, host pages by index);
// other lists by position. Changed and removed records are named by their position in
// the first package, added ones by their position in the second.
#include <algorithm>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "commands.hpp"
#include "output.hpp"

namespace torv_package::cli {
namespace {

constexpr std::size_t none = static_cast<std::size_t>(-1);

// Pairs of positions (in a, in b) of records with equal keys, the k-th of a key in a with
// the k-th in b; then a's records without a partner, then b's. Matched by sorting, so no
// choice of keys makes it slow.
template <class T, class Key>
std::vector<std::pair<std::size_t, std::size_t>> match(const std::vector<T>& a, const std::vector<T>& b, Key key) {
  const auto sorted = [&](const std::vector<T>& items) {
    std::vector<std::size_t> order(items.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) { return key(items[x]) < key(items[y]); });
    return order;
  };
  const std::vector<std::size_t> sa = sorted(a), sb = sorted(b);
  std::vector<std::size_t> partner_of_a(a.size(), none), partner_of_b(b.size(), none);
  for (std::size_t i = 0, j = 0; i < sa.size() && j < sb.size();) {
    const auto ka = key(a[sa[i]]);
    const auto kb = key(b[sb[j]]);
    if (ka < kb) {
      ++i;
    } else if (kb < ka) {
      ++j;
    } else {
      partner_of_a[sa[i]] = sb[j];
      partner_of_b[sb[j]] = sa[i];
      ++i;
      ++j;
    }
  }
  std::vector<std::pair<std::size_t, std::size_t>> pairs;
  for (std::size_t i = 0; i < a.size(); ++i) pairs.emplace_back(i, partner_of_a[i]);
  for (std::size_t j = 0; j < b.size(); ++j) {
    if (partner_of_b[j] == none) pairs.emplace_back(none, j);
  }
  return pairs;
}

std::string hex(std::uint64_t value) { return fmt::format("{:#x}", value); }

// The 32-bit word at byte `at`, as vindle shows words; fewer than four bytes as they are.
std::string word(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  if (at >= bytes.size()) return "(end)";
  if (at + 4 > bytes.size()) {
    std::string out;
    for (std::size_t i = at; i < bytes.size(); ++i) out += fmt::format("{:02x}", bytes[i]);
    return out;
  }
  return fmt::format("{:08x}", std::uint32_t{bytes[at]} | std::uint32_t{bytes[at + 1]} << 8 |
                                   std::uint32_t{bytes[at + 2]} << 16 | std::uint32_t{bytes[at + 3]} << 24);
}

class Differ {
 public:
  explicit Differ(Output& out) : out_(out) {}
  bool found() const { return found_; }

  void application(const Application& a, const Application& b);

 private:
  void line(std::string_view text) {
    found_ = true;
    out_.write(text);
    out_.write("\n");
  }
  void changed(const std::string& path, const std::string& from, const std::string& to) {
    if (from != to) line(fmt::format("{}: {} -> {}", path, from, to));
  }
  template <class U>
  void number(const std::string& path, const char* field, U a, U b) {
    if (a != b) line(fmt::format("{}.{}: {} -> {}", path, field, a, b));
  }
  template <class U>
  void address(const std::string& path, const char* field, U a, U b) {
    if (a != b) line(fmt::format("{}.{}: {} -> {}", path, field, hex(a), hex(b)));
  }
  void text(const std::string& path, const char* field, const std::string& a, const std::string& b) {
    if (a != b) line(fmt::format("{}.{}: {} -> {}", path, field, quote_escaped(a), quote_escaped(b)));
  }
  void numbers(const std::string& path, const char* field, const std::vector<std::uint32_t>& a,
               const std::vector<std::uint32_t>& b) {
    if (a != b) line(fmt::format("{}.{}: [{}] -> [{}]", path, field, fmt::join(a, ", "), fmt::join(b, ", ")));
  }

  // Lists matched by position; `each` compares two records at one path.
  template <class T, class Each>
  void by_position(const std::string& path, const std::vector<T>& a, const std::vector<T>& b, Each&& each) {
    for (std::size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
      const std::string here = fmt::format("{}[{}]", path, i);
      if (i >= a.size()) {
        line("+ " + here);
      } else if (i >= b.size()) {
        line("- " + here);
      } else if (!(a[i] == b[i])) {
        each(here, a[i], b[i]);
      }
    }
  }
  // Lists matched by `key`, which `show` prints for an added or removed record.
  template <class T, class Key, class Show, class Each>
  void by_key(const std::string& path, const std::vector<T>& a, const std::vector<T>& b, Key key, Show show,
              Each&& each) {
    for (const auto& [i, j] : match(a, b, key)) {
      if (j == none) {
        line(fmt::format("- {}[{}] ({})", path, i, show(a[i])));
      } else if (i == none) {
        line(fmt::format("+ {}[{}] ({})", path, j, show(b[j])));
      } else if (!(a[i] == b[j])) {
        each(fmt::format("{}[{}]", path, i), a[i], b[j]);
      }
    }
  }

  void segment(const std::string& path, const Segment& a, const Segment& b);
  void tile(const std::string& path, const TileImage& a, const TileImage& b);
  void binding(const std::string& path, const Binding& a, const Binding& b);
  void host_exchange(const HostExchange& a, const HostExchange& b);
  void step(const std::string& path, const ProfileStep& a, const ProfileStep& b);

  Output& out_;
  bool found_ = false;
};

void Differ::segment(const std::string& path, const Segment& a, const Segment& b) {
  address(path, "address", a.address, b.address);
  number(path, "memory_size", a.memory_size, b.memory_size);
  if (a.data != b.data) {
    const auto [first, ignored] = std::mismatch(a.data.begin(), a.data.end(), b.data.begin(), b.data.end());
    const std::size_t at = static_cast<std::size_t>(first - a.data.begin()) / 4 * 4;
    const std::string sizes =
        a.data.size() == b.data.size() ? "" : fmt::format("{} -> {} bytes, ", a.data.size(), b.data.size());
    line(fmt::format("{}.data: {}first difference at 0x{:06x}: {} -> {}", path, sizes,
                     std::uint64_t{a.address} + at, word(a.data, at), word(b.data, at)));
  }
  number(path, "flags", a.flags, b.flags);
}

void Differ::tile(const std::string& path, const TileImage& a, const TileImage& b) {
  address(path, "entry_point", a.entry_point, b.entry_point);
  address(path, "command_address", a.command_address, b.command_address);
  address(path, "diagnostic_address", a.diagnostic_address, b.diagnostic_address);
  by_position(path + ".segments", a.segments, b.segments,
              [&](const std::string& here, const Segment& x, const Segment& y) { segment(here, x, y); });
}

void Differ::binding(const std::string& path, const Binding& a, const Binding& b) {
  text(path, "dtype", a.dtype, b.dtype);
  numbers(path, "shape", a.shape, b.shape);
  by_position(path + ".slices", a.slices, b.slices, [&](const std::string& here, const RegionSlice& x, const RegionSlice& y) {
    number(here, "tile", x.tile, y.tile);
    address(here, "tile_address", x.tile_address, y.tile_address);
    number(here, "file_offset", x.file_offset, y.file_offset);
    number(here, "size", x.size, y.size);
  });
}

void Differ::host_exchange(const HostExchange& a, const HostExchange& b) {
  const std::string path = "host_exchange";
  number(path, "startup_mark", a.startup_mark, b.startup_mark);
  number(path, "command_page", a.command_page, b.command_page);
  number(path, "command_offset", a.command_offset, b.command_offset);
  by_key(path + ".pages", a.pages, b.pages, [](const HostPage& p) { return p.index; },
         [](const HostPage& p) { return fmt::format("index {}", p.index); },
         [&](const std::string& here, const HostPage& x, const HostPage& y) { number(here, "size", x.size, y.size); });
  numbers(path, "attach_order", a.attach_order, b.attach_order);
  const auto slices = [&](const std::string& here, const std::vector<HostSlice>& x, const std::vector<HostSlice>& y) {
    by_position(here, x, y, [&](const std::string& at, const HostSlice& s, const HostSlice& t) {
      number(at, "page", s.page, t.page);
      number(at, "page_offset", s.page_offset, t.page_offset);
      number(at, "file_offset", s.file_offset, t.file_offset);
      number(at, "size", s.size, t.size);
    });
  };
  by_key(path + ".calls", a.calls, b.calls, [](const HostCall& c) { return std::string_view(c.name); },
         [](const HostCall& c) { return "name " + quote_escaped(c.name); },
         [&](const std::string& here, const HostCall& x, const HostCall& y) {
           number(here, "command", x.command, y.command);
           number(here, "phases", x.phases, y.phases);
           slices(here + ".inputs", x.inputs, y.inputs);
           slices(here + ".outputs", x.outputs, y.outputs);
           number(here, "invocations", x.invocations, y.invocations);
           numbers(here, "input_batch_ends", x.input_batch_ends, y.input_batch_ends);
           numbers(here, "output_batch_ends", x.output_batch_ends, y.output_batch_ends);
         });
}

void Differ::step(const std::string& path, const ProfileStep& a, const ProfileStep& b) {
  number(path, "local_index", a.local_index, b.local_index);
  number(path, "phase", a.phase, b.phase);
  number(path, "epoch", a.epoch, b.epoch);
  text(path, "operation", a.operation, b.operation);
  changed(path + ".kind", std::string(kind_name(a.kind)),
          std::string(kind_name(b.kind)));
  text(path, "kernel", a.kernel, b.kernel);
  by_position(path + ".metadata", a.metadata, b.metadata,
              [&](const std::string& here, const ProfileMetadata& x, const ProfileMetadata& y) {
                text(here, "name", x.name, y.name);
                text(here, "value", x.value, y.value);
              });
  by_position(path + ".exchange_activities", a.exchange_activities, b.exchange_activities,
              [&](const std::string& here, const ProfileExchangeActivity& x, const ProfileExchangeActivity& y) {
                changed(here + ".kind", std::string(kind_name(x.kind)),
                        std::string(kind_name(y.kind)));
                number(here, "start_cycle", x.start_cycle, y.start_cycle);
                number(here, "end_cycle", x.end_cycle, y.end_cycle);
              });
  number(path, "exchange_event_cycles", a.exchange_event_cycles, b.exchange_event_cycles);
}

void Differ::application(const Application& a, const Application& b) {
  if (a.compiler_version != b.compiler_version) {
    line(fmt::format("compiler_version: {} -> {}", quote_escaped(a.compiler_version), quote_escaped(b.compiler_version)));
  }
  const auto physical_tile = [](const auto& r) { return r.physical_tile; };
  const auto show_tile = [](const auto& r) { return fmt::format("physical_tile {}", r.physical_tile); };
  by_key("tiles", a.tiles, b.tiles, physical_tile, show_tile,
         [&](const std::string& here, const TileImage& x, const TileImage& y) { tile(here, x, y); });
  const auto name = [](const auto& r) { return std::string_view(r.name); };
  const auto show_name = [](const auto& r) { return "name " + quote_escaped(r.name); };
  const auto bindings = [&](const char* path, const std::vector<Binding>& x, const std::vector<Binding>& y) {
    by_key(path, x, y, name, show_name,
           [&](const std::string& here, const Binding& s, const Binding& t) { binding(here, s, t); });
  };
  bindings("inputs", a.inputs, b.inputs);
  bindings("outputs", a.outputs, b.outputs);
  bindings("weights", a.weights, b.weights);
  host_exchange(a.host_exchange, b.host_exchange);
  by_key("entry_points", a.entry_points, b.entry_points, name, show_name,
         [&](const std::string& here, const EntryPoint& x, const EntryPoint& y) {
           number(here, "command", x.command, y.command);
           number(here, "external_syncs", x.external_syncs, y.external_syncs);
         });
  by_position("device_config_writes", a.device_config_writes, b.device_config_writes,
              [&](const std::string& here, const DeviceConfigWrite& x, const DeviceConfigWrite& y) {
                address(here, "offset", x.offset, y.offset);
                number(here, "value", x.value, y.value);
              });
  by_key("profile_tiles", a.profile_tiles, b.profile_tiles, physical_tile, show_tile,
         [&](const std::string& here, const TileProfilePlan& x, const TileProfilePlan& y) {
           by_position(here + ".steps", x.steps, y.steps,
                       [&](const std::string& at, const ProfileStep& s, const ProfileStep& t) { step(at, s, t); });
         });
  by_key("debug_symbols", a.debug_symbols, b.debug_symbols, name, show_name,
         [&](const std::string& here, const DebugSymbol& x, const DebugSymbol& y) {
           address(here, "address", x.address, y.address);
         });
  by_position("debug_regions", a.debug_regions, b.debug_regions,
              [&](const std::string& here, const DebugRegion& x, const DebugRegion& y) {
                number(here, "physical_tile", x.physical_tile, y.physical_tile);
                address(here, "address", x.address, y.address);
                number(here, "size", x.size, y.size);
                text(here, "name", x.name, y.name);
              });
}

}  // namespace

int diff(const std::string& path_a, const std::string& path_b) {
  // The two packages are read at once, one on another core.
  Result<Application> b = std::unexpected(PackageError::invalid("not read"));
  std::thread reader([&] { b = Application::read_file(path_b); });
  Result<Application> a = Application::read_file(path_a);
  reader.join();
  for (const auto* result : {&a, &b}) {
    if (!*result) {
      report(fmt::format("cannot read package {}: {}", result == &a ? path_a : path_b,
                         describe(result->error())));
      return exit_trouble;
    }
  }
  Output out;
  Differ differ(out);
  differ.application(*a, *b);
  if (const auto error = out.finish()) return write_failure(*error);
  return differ.found() ? exit_refused : exit_ok;
}

}  // namespace torv_package::cli
