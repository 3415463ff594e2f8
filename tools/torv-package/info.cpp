// torv-package info: a summary of a package for people, in aligned columns that fit 80
// characters.
#include <algorithm>
#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "commands.hpp"
#include "output.hpp"

namespace torv_package::cli {
namespace {

constexpr std::size_t name_width = 24;  // longer names are cut, with "..."

std::string cut(std::string text, std::size_t width) {
  if (text.size() <= width) return text;
  return text.substr(0, width - 3) + "...";
}

// Minimum, median (the lower of the two middle values) and maximum.
struct Spread {
  std::uint64_t min = 0, median = 0, max = 0;
};

Spread spread(std::vector<std::uint64_t> values) {
  if (values.empty()) return {};
  std::sort(values.begin(), values.end());
  return {values.front(), values[(values.size() - 1) / 2], values.back()};
}

void segments(Output& out, const Application& app) {
  std::vector<std::uint64_t> counts, data, memory;
  for (const auto& tile : app.tiles) {
    counts.push_back(tile.segments.size());
    data.push_back(std::accumulate(tile.segments.begin(), tile.segments.end(), std::uint64_t{0},
                                   [](std::uint64_t sum, const Segment& s) { return sum + s.data.size(); }));
    memory.push_back(std::accumulate(tile.segments.begin(), tile.segments.end(), std::uint64_t{0},
                                     [](std::uint64_t sum, const Segment& s) { return sum + s.memory_size; }));
  }
  const auto total = [](const std::vector<std::uint64_t>& v) {
    return std::accumulate(v.begin(), v.end(), std::uint64_t{0});
  };
  out.print("\n{:<18}{:>12}{:>16}{:>16}\n", "segments", "count", "data bytes", "memory bytes");
  out.print("{:<18}{:>12}{:>16}{:>16}\n", "  total", total(counts), total(data), total(memory));
  const Spread c = spread(counts), d = spread(data), m = spread(memory);
  out.print("{:<18}{:>12}{:>16}{:>16}\n", "  per tile min", c.min, d.min, m.min);
  out.print("{:<18}{:>12}{:>16}{:>16}\n", "  per tile median", c.median, d.median, m.median);
  out.print("{:<18}{:>12}{:>16}{:>16}\n", "  per tile max", c.max, d.max, m.max);
}

void bindings(Output& out, const Application& app) {
  const std::size_t count = app.inputs.size() + app.outputs.size() + app.weights.size();
  out.print("\n{:<18}{}\n", "bindings", count);
  if (count == 0) return;
  out.print("  {:<7}{:<{}} {:<8} {:<16}{:>7}{:>14}\n", "kind", "name", name_width, "dtype", "shape", "slices", "bytes");
  const std::pair<const char*, const std::vector<Binding>*> lists[] = {
      {"input", &app.inputs}, {"output", &app.outputs}, {"weight", &app.weights}};
  for (const auto& [kind, list] : lists) {
    for (const Binding& b : *list) {
      const std::uint64_t bytes = std::accumulate(b.slices.begin(), b.slices.end(), std::uint64_t{0},
                                                  [](std::uint64_t sum, const RegionSlice& s) { return sum + s.size; });
      out.print("  {:<7}{:<{}} {:<8} {:<16}{:>7}{:>14}\n", kind, cut(shown(b.name), name_width), name_width,
                cut(shown(b.dtype), 8), cut(fmt::format("[{}]", fmt::join(b.shape, ", ")), 16), b.slices.size(),
                bytes);
    }
  }
}

void host_exchange(Output& out, const HostExchange& ex) {
  const std::uint64_t page_bytes = std::accumulate(ex.pages.begin(), ex.pages.end(), std::uint64_t{0},
                                                   [](std::uint64_t sum, const HostPage& p) { return sum + p.size; });
  out.print("\n{:<18}pages {} ({} bytes), calls {}\n", "host exchange", ex.pages.size(), page_bytes, ex.calls.size());
  if (ex.calls.empty()) return;
  out.print("  {:<{}}{:>10}{:>10}{:>14}\n", "call", name_width + 8, "inputs", "outputs", "invocations");
  for (const HostCall& call : ex.calls) {
    out.print("  {:<{}}{:>10}{:>10}{:>14}\n", cut(shown(call.name), name_width + 8), name_width + 8,
              call.inputs.size(), call.outputs.size(), call.invocations);
  }
}

}  // namespace

int info(const std::string& path) {
  const auto app = read_or_report(path);
  if (!app) return exit_trouble;
  Output out;
  out.print("{:<18}{}\n", "package", shown(path));
  out.print("{:<18}{}\n", "compiler version", shown(app->compiler_version));
  out.print("{:<18}{}\n", "tiles", app->tiles.size());
  segments(out, *app);
  bindings(out, *app);
  host_exchange(out, app->host_exchange);
  std::size_t steps = 0;
  for (const auto& plan : app->profile_tiles) steps += plan.steps.size();
  out.print("\n{:<18}{}\n", "entry points", app->entry_points.size());
  for (const EntryPoint& e : app->entry_points) {
    out.print("  {:<{}} command {}, external syncs {}\n", cut(shown(e.name), name_width), name_width, e.command,
              e.external_syncs);
  }
  out.print("{:<18}{}\n", "config writes", app->device_config_writes.size());
  out.print("{:<18}{}, steps {}\n", "profile plans", app->profile_tiles.size(), steps);
  out.print("{:<18}{}\n", "debug symbols", app->debug_symbols.size());
  out.print("{:<18}{}\n", "debug regions", app->debug_regions.size());
  if (const auto error = out.finish()) return write_failure(*error);
  return exit_ok;
}

}  // namespace torv_package::cli
