// Opening a package and walking every field of it through the C API (the shared library)
// against the same through the C++ view, in rounds that alternate between the two; prints
// the medians and their ratios. Both walks are generic, over the C API's member lists and
// over the view's schema table, and must reach the same sum of every number, list count,
// text and data length.
//   c_api_walk PACKAGE [ROUNDS]   writes a full-device package to PACKAGE first if missing
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <type_traits>
#include <vector>

#include "device_package.hpp"
#include "torv_package/torv_package.h"
#include "torv_package/view.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// The C walk, written from the member lists alone.
void add(std::uint64_t& sum, std::uint64_t number) { sum += number; }
void add(std::uint64_t& sum, tp_text text) { sum += text.size; }
void add(std::uint64_t& sum, tp_bytes bytes) { sum += bytes.size; }

#define DECLARE(handle, members) void add(std::uint64_t& sum, handle record);
TP_RECORDS(DECLARE)
#define MEMBER(record_name, member, KIND, type) MEMBER_##KIND(record_name, member)
#define MEMBER_NUMBER(record_name, member) add(sum, tp_##record_name##_##member(record));
#define MEMBER_TEXT MEMBER_NUMBER
#define MEMBER_DATA MEMBER_NUMBER
#define MEMBER_RECORD MEMBER_NUMBER
#define MEMBER_ENUM(record_name, member) add(sum, static_cast<std::uint64_t>(tp_##record_name##_##member(record)));
#define MEMBER_NUMBER_LIST(record_name, member)                           \
  {                                                                       \
    const std::size_t count = tp_##record_name##_##member##_count(record); \
    sum += count;                                                         \
    for (std::size_t i = 0; i < count; ++i) add(sum, tp_##record_name##_##member##_at(record, i)); \
  }
#define MEMBER_RECORD_LIST MEMBER_NUMBER_LIST
#define DEFINE(handle, members) \
  void add(std::uint64_t& sum, handle record) { members(MEMBER) }
TP_RECORDS(DEFINE)

// The C++ walk, over the view's schema table.
template <class Record>
void add(std::uint64_t& sum, const torv_package::View<Record>& record) {
  using torv_package::FieldKind;
  torv_package::for_each_field<Record>([&](auto row) {
    const auto value = torv_package::table_value(record, row);
    if constexpr (row.kind == FieldKind::number) {
      sum += value;
    } else if constexpr (row.kind == FieldKind::enumeration) {
      sum += static_cast<std::uint64_t>(value);
    } else if constexpr (row.kind == FieldKind::text || row.kind == FieldKind::data) {
      sum += value.size();
    } else if constexpr (row.kind == FieldKind::number_list) {
      sum += value.size();
      for (const auto number : value) sum += number;
    } else if constexpr (row.kind == FieldKind::record_list) {
      sum += value.size();
      for (const auto item : value) add(sum, item);
    } else {
      add(sum, value);
    }
  });
}

std::uint64_t walk_c(const char* path, bool open_too, tp_view* opened) {
  tp_view* view = opened;
  if (open_too) {
    tp_error* error = nullptr;
    if (tp_view_open(path, &view, &error) != 0) {
      std::fprintf(stderr, "c_api_walk: %s\n", tp_error_debug(error));
      std::exit(1);
    }
  }
  std::uint64_t sum = 0;
  add(sum, tp_view_application(view));
  if (open_too) tp_view_close(view);
  return sum;
}

std::uint64_t walk_cpp(const char* path, bool open_too, const torv_package::PackageView* opened) {
  std::uint64_t sum = 0;
  if (!open_too) {
    add(sum, static_cast<const torv_package::View<torv_package::Application>&>(*opened));
    return sum;
  }
  const auto view = torv_package::PackageView::open(path);
  if (!view) {
    std::fprintf(stderr, "c_api_walk: %s\n", view.error().debug_string().c_str());
    std::exit(1);
  }
  add(sum, static_cast<const torv_package::View<torv_package::Application>&>(*view));
  return sum;
}

template <class Walk>
double seconds(Walk&& walk, std::uint64_t& sum) {
  const auto start = Clock::now();
  sum = walk();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: c_api_walk PACKAGE [ROUNDS]\n");
    return 2;
  }
  const char* path = argv[1];
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 7;
  if (!std::filesystem::exists(path)) {
    std::printf("generating %s ...\n", path);
    namespace t = torv_package::testing;
    if (!t::device_application(t::device_tiles, t::full_tile_data).write_file(path)) return 1;
  }

  tp_view* c_view = nullptr;
  if (tp_view_open(path, &c_view, nullptr) != 0) return 1;
  auto cpp_view = torv_package::PackageView::open(path);
  if (!cpp_view) return 1;

  struct Measure {
    const char* label;
    bool open_too;
    std::vector<double> c, cpp;
  };
  Measure measures[] = {{"open + walk", true, {}, {}}, {"walk of an open view", false, {}, {}}};
  std::uint64_t c_sum = 0, cpp_sum = 0;
  for (int round = 0; round <= rounds; ++round) {  // round 0 warms the page cache, untimed
    for (Measure& m : measures) {
      const double c = seconds([&] { return walk_c(path, m.open_too, c_view); }, c_sum);
      const double cpp = seconds([&] { return walk_cpp(path, m.open_too, &*cpp_view); }, cpp_sum);
      if (c_sum != cpp_sum) {
        std::fprintf(stderr, "c_api_walk: the walks differ: C %llu, C++ %llu\n", static_cast<unsigned long long>(c_sum),
                     static_cast<unsigned long long>(cpp_sum));
        return 1;
      }
      if (round > 0) {
        m.c.push_back(c);
        m.cpp.push_back(cpp);
      }
    }
  }
  tp_view_close(c_view);

  std::printf("%s: %.1f MiB, %d rounds alternating C and C++ (medians)\n", path,
              static_cast<double>(std::filesystem::file_size(path)) / (1 << 20), rounds);
  for (const Measure& m : measures) {
    const double c = median(m.c), cpp = median(m.cpp);
    std::printf("%-22s C API %8.4f s   C++ view %8.4f s   C / C++ %6.2f%s\n", m.label, c, cpp, c / cpp,
                m.open_too ? "   (target <= 1.20)" : "");
  }
  return 0;
}
