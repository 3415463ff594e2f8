// torv-package diff: compares two packages structurally, one line per difference.
// Records with an identity are matched by it (tiles and profile plans by physical tile,
// segments by address, bindings, entry points, host calls and debug symbols by name, host
// pages by index); other lists by position. A matched record whose place among the
// matched ones changed is reported as moved. Changed, moved and removed records are named
// by their position in the first package, added ones by their position in the second.
// Every line is one fact; the grammar is in man/torv-package.1.
#include <algorithm>
#include <compare>
#include <cstdint>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "commands.hpp"
#include "output.hpp"

namespace torv_package::cli {
namespace {

constexpr std::size_t none = static_cast<std::size_t>(-1);

// Total orders on records that agree with ==, used to pair equal records that share a
// key. Only the fields besides the key are compared; the key is compared first elsewhere.
std::strong_ordering rest_order(const Segment& x, const Segment& y) {
  return std::tie(x.memory_size, x.flags, x.data) <=> std::tie(y.memory_size, y.flags, y.data);
}
std::strong_ordering rest_order(const EntryPoint& x, const EntryPoint& y) {
  return std::tie(x.command, x.external_syncs) <=> std::tie(y.command, y.external_syncs);
}
std::strong_ordering rest_order(const DebugSymbol& x, const DebugSymbol& y) { return x.address <=> y.address; }
std::strong_ordering slices_order(const std::vector<HostSlice>& x, const std::vector<HostSlice>& y) {
  return std::lexicographical_compare_three_way(
      x.begin(), x.end(), y.begin(), y.end(), [](const HostSlice& s, const HostSlice& t) {
        return std::tie(s.page, s.page_offset, s.file_offset, s.size) <=>
               std::tie(t.page, t.page_offset, t.file_offset, t.size);
      });
}
std::strong_ordering rest_order(const HostCall& x, const HostCall& y) {
  if (const auto c = std::tie(x.command, x.phases, x.invocations, x.input_batch_ends, x.output_batch_ends) <=>
                     std::tie(y.command, y.phases, y.invocations, y.input_batch_ends, y.output_batch_ends);
      c != 0) {
    return c;
  }
  if (const auto c = slices_order(x.inputs, y.inputs); c != 0) return c;
  return slices_order(x.outputs, y.outputs);
}
// Lists whose keys a valid package never repeats (tiles, profile plans, bindings, pages)
// have no ties to break.
template <class T>
std::strong_ordering rest_order(const T&, const T&) {
  return std::strong_ordering::equal;
}

// Which record of b each record of a is paired with (or `none`), and the reverse.
struct Pairing {
  std::vector<std::size_t> of_a;
  std::vector<std::size_t> of_b;
};

// Pairs records with equal keys. Within one key, records equal in full are paired first
// (the k-th copy in a with the k-th copy in b), and only then the rest in stored order:
// so removing one of several same-named records reads as that removal, whichever it was,
// and a record changed in place still pairs with its old self when it is the only one
// left under its key. Both passes sort, so no choice of keys or values makes it slow.
template <class T, class Key>
Pairing pair_records(const std::vector<T>& a, const std::vector<T>& b, Key key) {
  Pairing pairing{std::vector<std::size_t>(a.size(), none), std::vector<std::size_t>(b.size(), none)};
  // Merges the positions in `xs` and `ys` that have no partner yet, sorted by `order`
  // (ties in stored order), pairing those that compare equal.
  const auto pass = [&](auto order) {
    const auto unpaired = [](const std::vector<std::size_t>& partners) {
      std::vector<std::size_t> positions;
      for (std::size_t i = 0; i < partners.size(); ++i) {
        if (partners[i] == none) positions.push_back(i);
      }
      return positions;
    };
    std::vector<std::size_t> xs = unpaired(pairing.of_a), ys = unpaired(pairing.of_b);
    std::stable_sort(xs.begin(), xs.end(), [&](std::size_t i, std::size_t j) { return order(a[i], a[j]) < 0; });
    std::stable_sort(ys.begin(), ys.end(), [&](std::size_t i, std::size_t j) { return order(b[i], b[j]) < 0; });
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
  pass([&](const T& x, const T& y) {
    const auto c = key(x) <=> key(y);
    return c != 0 ? c : rest_order(x, y);
  });
  pass([&](const T& x, const T& y) { return key(x) <=> key(y); });
  return pairing;
}

// For each record of a: true when it is paired and among the largest set of paired
// records whose partners in b keep their order (a longest increasing run of partner
// positions, by patience sorting in n log n). The paired records outside it have moved;
// a swap of two is one move.
std::vector<bool> kept_in_order(const std::vector<std::size_t>& partner_of_a) {
  std::vector<std::size_t> tails;  // tails[k]: the a-position ending the best run of length k + 1
  std::vector<std::size_t> before(partner_of_a.size(), none);
  for (std::size_t i = 0; i < partner_of_a.size(); ++i) {
    if (partner_of_a[i] == none) continue;
    const auto at = std::lower_bound(tails.begin(), tails.end(), partner_of_a[i],
                                     [&](std::size_t t, std::size_t j) { return partner_of_a[t] < j; });
    if (at != tails.begin()) before[i] = *(at - 1);
    if (at == tails.end()) {
      tails.push_back(i);
    } else {
      *at = i;
    }
  }
  std::vector<bool> kept(partner_of_a.size(), false);
  for (std::size_t i = tails.empty() ? none : tails.back(); i != none; i = before[i]) kept[i] = true;
  return kept;
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

// What identifies a record on a line of its own: its key for keyed records, its main
// fields for positional ones. Text is quoted and escaped, addresses are in hex.
std::string identity(const TileImage& r) { return fmt::format("physical_tile {}", r.physical_tile); }
std::string identity(const TileProfilePlan& r) { return fmt::format("physical_tile {}", r.physical_tile); }
std::string identity(const Segment& r) { return fmt::format("address {} memory_size {}", hex(r.address), r.memory_size); }
std::string identity(const Binding& r) { return "name " + quote_escaped(r.name); }
std::string identity(const HostCall& r) { return "name " + quote_escaped(r.name); }
std::string identity(const EntryPoint& r) { return "name " + quote_escaped(r.name); }
std::string identity(const DebugSymbol& r) { return "name " + quote_escaped(r.name); }
std::string identity(const HostPage& r) { return fmt::format("index {}", r.index); }
std::string identity(const RegionSlice& r) {
  return fmt::format("tile {} tile_address {} size {}", r.tile, hex(r.tile_address), r.size);
}
std::string identity(const HostSlice& r) {
  return fmt::format("page {} page_offset {} size {}", r.page, r.page_offset, r.size);
}
std::string identity(const DeviceConfigWrite& r) { return fmt::format("offset {} value {}", hex(r.offset), r.value); }
std::string identity(const ProfileStep& r) {
  return fmt::format("local_index {} operation {}", r.local_index, quote_escaped(r.operation));
}
std::string identity(const ProfileMetadata& r) { return "name " + quote_escaped(r.name); }
std::string identity(const ProfileExchangeActivity& r) {
  return fmt::format("kind {} start_cycle {} end_cycle {}", kind_name(r.kind), r.start_cycle, r.end_cycle);
}
std::string identity(const DebugRegion& r) {
  return fmt::format("physical_tile {} address {} size {} name {}", r.physical_tile, hex(r.address), r.size,
                     quote_escaped(r.name));
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
      if (i >= a.size()) {
        line(fmt::format("+ {}[{}] ({})", path, i, identity(b[i])));
      } else if (i >= b.size()) {
        line(fmt::format("- {}[{}] ({})", path, i, identity(a[i])));
      } else if (!(a[i] == b[i])) {
        each(fmt::format("{}[{}]", path, i), a[i], b[i]);
      }
    }
  }
  // Lists matched by `key`: a's records in their order, each removed, or moved and then
  // compared; then b's records that are new.
  template <class T, class Key, class Each>
  void by_key(const std::string& path, const std::vector<T>& a, const std::vector<T>& b, Key key, Each&& each) {
    const Pairing pairing = pair_records(a, b, key);
    const std::vector<bool> kept = kept_in_order(pairing.of_a);
    for (std::size_t i = 0; i < a.size(); ++i) {
      const std::size_t j = pairing.of_a[i];
      if (j == none) {
        line(fmt::format("- {}[{}] ({})", path, i, identity(a[i])));
        continue;
      }
      if (!kept[i]) line(fmt::format("~ {}[{}] -> [{}] ({})", path, i, j, identity(a[i])));
      if (!(a[i] == b[j])) each(fmt::format("{}[{}]", path, i), a[i], b[j]);
    }
    for (std::size_t j = 0; j < b.size(); ++j) {
      if (pairing.of_b[j] == none) line(fmt::format("+ {}[{}] ({})", path, j, identity(b[j])));
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

// Called for segments at the same address.
void Differ::segment(const std::string& path, const Segment& a, const Segment& b) {
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
  by_key(path + ".segments", a.segments, b.segments, [](const Segment& s) { return s.address; },
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
  by_key("tiles", a.tiles, b.tiles, physical_tile,
         [&](const std::string& here, const TileImage& x, const TileImage& y) { tile(here, x, y); });
  const auto name = [](const auto& r) { return std::string_view(r.name); };
  const auto bindings = [&](const char* path, const std::vector<Binding>& x, const std::vector<Binding>& y) {
    by_key(path, x, y, name, [&](const std::string& here, const Binding& s, const Binding& t) { binding(here, s, t); });
  };
  bindings("inputs", a.inputs, b.inputs);
  bindings("outputs", a.outputs, b.outputs);
  bindings("weights", a.weights, b.weights);
  host_exchange(a.host_exchange, b.host_exchange);
  by_key("entry_points", a.entry_points, b.entry_points, name,
         [&](const std::string& here, const EntryPoint& x, const EntryPoint& y) {
           number(here, "command", x.command, y.command);
           number(here, "external_syncs", x.external_syncs, y.external_syncs);
         });
  by_position("device_config_writes", a.device_config_writes, b.device_config_writes,
              [&](const std::string& here, const DeviceConfigWrite& x, const DeviceConfigWrite& y) {
                address(here, "offset", x.offset, y.offset);
                number(here, "value", x.value, y.value);
              });
  by_key("profile_tiles", a.profile_tiles, b.profile_tiles, physical_tile,
         [&](const std::string& here, const TileProfilePlan& x, const TileProfilePlan& y) {
           by_position(here + ".steps", x.steps, y.steps,
                       [&](const std::string& at, const ProfileStep& s, const ProfileStep& t) { step(at, s, t); });
         });
  by_key("debug_symbols", a.debug_symbols, b.debug_symbols, name,
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
  // Status 0 promises equal models. Every field above is compared, so this line would
  // only show a field added to the model and not to this walk.
  if (!found_ && !(a == b)) line("? models differ");
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
      report_unreadable(result == &a ? path_a : path_b, result->error());
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
