// The C API over the shared library: its errors are the view's, its handles read the view's
// bytes in place, and every failure, an allocation's included, comes back as an error.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "package_writer.hpp"
#include "sample_package.hpp"
#include "torv_package/torv_package.h"
#include "torv_package/view.hpp"

// Allocation failure on demand: while `fail_at` is set, the allocation of that number (from
// 1) throws, as the system's would when memory runs out. Replacing operator new in the
// program replaces it in the shared library too.
namespace {
long allocations = 0;
long fail_at = 0;
}  // namespace

void* operator new(std::size_t size) {
  if (fail_at != 0 && ++allocations == fail_at) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// GCC takes free() after an inlined operator new for a mismatch; here new is malloc.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
// The nothrow form too (std::stable_sort's buffer), so that every delete meets its new.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (fail_at != 0 && ++allocations == fail_at) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

using torv_package::Application;

// What one call of the C API gave; frees what it holds.
struct Opened {
  int status = 0;
  tp_view* view = nullptr;
  tp_error* error = nullptr;
  Opened() = default;
  Opened(const Opened&) = delete;
  Opened& operator=(const Opened&) = delete;
  ~Opened() {
    tp_view_close(view);
    tp_error_free(error);
  }
};

void open_bytes(Opened& out, std::string_view bytes) {
  out.view = reinterpret_cast<tp_view*>(&out);  // must be replaced by the call
  out.status = tp_view_from_bytes(bytes.data(), bytes.size(), &out.view, &out.error);
}

std::string serialize(void (*change)(Application&)) {
  Application app = torv_package::testing::valid_application();
  change(app);
  return torv_package::testing::serialize(app);
}

TEST(CApi, ErrorsAreTheViewsWithTheirKind) {
  struct Row {
    const char* name;
    std::string bytes;
    enum tp_error_kind kind;
  };
  const std::string valid = torv_package::testing::serialize(torv_package::testing::valid_application());
  const std::vector<Row> rows = {
      {"empty", "", TP_ERROR_CAPNP},
      {"truncated", valid.substr(0, 40), TP_ERROR_CAPNP},
      {"no tiles", serialize([](Application& a) { a.tiles.clear(); }), TP_ERROR_INVALID},
      {"segment outside tile memory", serialize([](Application& a) { a.tiles[0].segments[0].address = 0x1000; }),
       TP_ERROR_INVALID},
      {"text not UTF-8", serialize([](Application& a) { a.inputs[0].dtype = "f\xff"; }), TP_ERROR_UTF8},
      {"enum out of range",
       serialize([](Application& a) { a.profile_tiles[0].steps[0].kind = torv_package::ProfileStepKind{9}; }),
       TP_ERROR_SCHEMA_ENUM},
      {"other target",
       [] {
         torv_package::testing::Header header;
         header.target = "torv22";
         return torv_package::testing::serialize(torv_package::testing::valid_application(), header);
       }(),
       TP_ERROR_INVALID},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto expected = torv_package::PackageView::from_bytes(
        std::span(reinterpret_cast<const std::byte*>(row.bytes.data()), row.bytes.size()));
    ASSERT_FALSE(expected);
    Opened c;
    open_bytes(c, row.bytes);
    EXPECT_EQ(c.status, -1);
    EXPECT_EQ(c.view, nullptr);
    EXPECT_EQ(tp_error_kind(c.error), row.kind);
    EXPECT_EQ(tp_error_location(c.error), expected.error().location());
    EXPECT_EQ(tp_error_message(c.error), expected.error().message());
    EXPECT_EQ(tp_error_debug(c.error), expected.error().debug_string());
    EXPECT_EQ(tp_error_os_code(c.error), 0);
  }
}

TEST(CApi, AFileThatCannotBeOpenedIsAnIoErrorWithItsErrno) {
  Opened c;
  c.status = tp_view_open("/nonexistent/model.torv", &c.view, &c.error);
  EXPECT_EQ(c.status, -1);
  EXPECT_EQ(tp_error_kind(c.error), TP_ERROR_IO);
  EXPECT_EQ(tp_error_os_code(c.error), ENOENT);
  EXPECT_STREQ(tp_error_location(c.error), "");
  EXPECT_STREQ(tp_error_message(c.error), "cannot open: No such file or directory");
  EXPECT_STREQ(tp_error_debug(c.error), "Io(Os { code: 2, message: \"No such file or directory\" })");
}

TEST(CApi, NullArgumentsAreErrorsOrEmptyValues) {
  struct Row {
    const char* name;
    int (*call)(tp_view**, tp_error**);
    const char* debug;
  };
  static const char bytes[8] = {};
  const Row rows[] = {
      {"no path", [](tp_view** v, tp_error** e) { return tp_view_open(nullptr, v, e); }, "Argument(\"path is null\")"},
      {"no view to open", [](tp_view**, tp_error** e) { return tp_view_open("x.torv", nullptr, e); },
       "Argument(\"view is null\")"},
      {"no data", [](tp_view** v, tp_error** e) { return tp_view_from_bytes(nullptr, 8, v, e); },
       "Argument(\"data is null\")"},
      {"no view from bytes", [](tp_view**, tp_error** e) { return tp_view_from_bytes(bytes, 8, nullptr, e); },
       "Argument(\"view is null\")"},
      {"no bytes at all", [](tp_view** v, tp_error** e) { return tp_view_from_bytes(nullptr, 0, v, e); },
       "Capnp(Exception { kind: Failed, description: \"package file is empty\" })"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Opened c;
    c.view = reinterpret_cast<tp_view*>(&c);
    c.status = row.call(&c.view, &c.error);
    EXPECT_EQ(c.status, -1);
    if (c.view == reinterpret_cast<tp_view*>(&c)) c.view = nullptr;  // the call had no view to set
    EXPECT_EQ(c.view, nullptr);
    EXPECT_STREQ(tp_error_debug(c.error), row.debug);
    EXPECT_EQ(row.call(nullptr, nullptr), -1) << "without an error to give";
  }
  EXPECT_EQ(tp_error_kind(nullptr), TP_ERROR_NONE);
  EXPECT_STREQ(tp_error_message(nullptr), "");
  EXPECT_STREQ(tp_error_location(nullptr), "");
  EXPECT_STREQ(tp_error_debug(nullptr), "");
  EXPECT_EQ(tp_application_tiles_count(tp_view_application(nullptr)), 0u);
}

TEST(CApi, EmptyHandlesAndIndexesPastTheEndReadAsDefaults) {
  const std::string bytes = torv_package::testing::serialize(torv_package::testing::valid_application());
  Opened c;
  open_bytes(c, bytes);
  ASSERT_EQ(c.status, 0) << tp_error_debug(c.error);
  const tp_application app = tp_view_application(c.view);
  const tp_host_call zeroed{};
  const tp_host_call past = tp_host_exchange_calls_at(tp_application_host_exchange(app), 1);
  for (const tp_host_call call : {zeroed, past}) {
    EXPECT_EQ(tp_host_call_invocations(call), 1u);
    EXPECT_EQ(tp_host_call_command(call), 0u);
    EXPECT_EQ(tp_host_call_name(call).size, 0u);
    EXPECT_STREQ(tp_host_call_name(call).data, "");
    EXPECT_EQ(tp_host_call_inputs_count(call), 0u);
    EXPECT_EQ(tp_host_call_input_batch_ends_count(call), 0u);
  }
  const tp_binding input = tp_application_inputs_at(app, 0);
  ASSERT_EQ(tp_binding_shape_count(input), 2u);
  EXPECT_EQ(tp_binding_shape_at(input, 1), 3u);
  EXPECT_EQ(tp_binding_shape_at(input, 2), 0u);
  EXPECT_EQ(tp_segment_data(tp_tile_image_segments_at(tp_application_tiles_at(app, 0), 9)).data, nullptr);
}

TEST(CApi, RecordsAreReadInPlaceFromBorrowedOrCopiedBytes) {
  const std::string bytes = torv_package::testing::serialize(torv_package::testing::valid_application());
  // The message at an aligned address, then one byte past it.
  std::vector<std::uint64_t> words(bytes.size() / 8 + 2);
  for (const std::size_t offset : {std::size_t{0}, std::size_t{1}}) {
    SCOPED_TRACE(offset);
    char* at = reinterpret_cast<char*>(words.data()) + offset;
    std::memcpy(at, bytes.data(), bytes.size());
    Opened c;
    open_bytes(c, std::string_view(at, bytes.size()));
    ASSERT_EQ(c.status, 0) << tp_error_debug(c.error);
    const tp_application app = tp_view_application(c.view);
    const tp_text dtype = tp_binding_dtype(tp_application_inputs_at(app, 0));
    EXPECT_EQ(std::string_view(dtype.data, dtype.size), "f16");
    EXPECT_EQ(dtype.data[dtype.size], '\0');
    const bool inside = dtype.data >= at && dtype.data < at + bytes.size();
    EXPECT_EQ(inside, offset == 0) << "aligned bytes are read where they are, others from one copy";
    const tp_profile_step step = tp_tile_profile_plan_steps_at(tp_application_profile_tiles_at(app, 0), 0);
    EXPECT_EQ(tp_profile_step_kind(step), TP_PROFILE_STEP_KIND_COMPUTE);
    EXPECT_STREQ(tp_profile_step_kind_name(tp_profile_step_kind(step)), "Compute");
    EXPECT_EQ(tp_profile_step_kind_name(static_cast<enum tp_profile_step_kind>(9)), nullptr);
  }
}

TEST(CApi, LookupsAndTileMemoryAreTheViews) {
  const std::string bytes = torv_package::testing::serialize(torv_package::testing::valid_application());
  const auto cpp = torv_package::PackageView::from_bytes(
      std::span(reinterpret_cast<const std::byte*>(bytes.data()), bytes.size()));
  ASSERT_TRUE(cpp);
  Opened c;
  open_bytes(c, bytes);
  ASSERT_EQ(c.status, 0);
  const tp_tile_image first = tp_application_tiles_at(tp_view_application(c.view), 0);
  for (const std::uint32_t physical : {5u, 7u, 0u, 6u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(physical);
    const auto expected = cpp->tile(physical);
    tp_tile_image tile = first;  // replaced by the lookup, found or not
    EXPECT_EQ(tp_view_tile(c.view, physical, &tile), expected ? 1 : 0);
    EXPECT_EQ(tp_tile_image_physical_tile(tile), expected ? physical : 0);
    EXPECT_EQ(tp_tile_image_segments_count(tile), expected ? expected->segments().size() : 0);

    std::vector<std::uint8_t> window(TP_TILE_MEMORY_SIZE + 1, 0xAA);
    tp_error* error = nullptr;
    const int status = tp_view_tile_memory(c.view, physical, window.data(), window.size(), &error);
    const auto memory = cpp->tile_memory(physical);
    if (memory) {
      EXPECT_EQ(status, 0);
      EXPECT_TRUE(std::equal(memory->begin(), memory->end(), window.begin()));
      EXPECT_EQ(window.back(), 0xAA) << "nothing past the window is written";
    } else {
      EXPECT_EQ(status, -1);
      EXPECT_EQ(tp_error_debug(error), memory.error().debug_string());
      EXPECT_EQ(std::count(window.begin(), window.end(), 0xAA), static_cast<long>(window.size()));
    }
    tp_error_free(error);
  }
  for (const std::string& name : {std::string("image"), std::string("logits"), std::string("w0"), std::string("nope"),
                                  std::string("w0\0", 3), std::string()}) {
    SCOPED_TRACE(name);
    const auto expected = cpp->binding(name);
    tp_binding binding = tp_application_inputs_at(tp_view_application(c.view), 0);
    EXPECT_EQ(tp_view_binding(c.view, name.data(), name.size(), &binding), expected ? 1 : 0);
    const tp_text found = tp_binding_name(binding);
    EXPECT_EQ(std::string_view(found.data, found.size), expected ? name : "");
  }
}

TEST(CApi, LookupsTakeNullArguments) {
  const std::string bytes = torv_package::testing::serialize(torv_package::testing::valid_application());
  Opened c;
  open_bytes(c, bytes);
  ASSERT_EQ(c.status, 0);
  tp_tile_image tile{};
  tp_binding binding{};
  EXPECT_EQ(tp_view_tile(c.view, 5, nullptr), 1);
  EXPECT_EQ(tp_view_tile(nullptr, 5, &tile), 0);
  EXPECT_EQ(tp_view_binding(c.view, "w0", 2, nullptr), 1);
  EXPECT_EQ(tp_view_binding(nullptr, "w0", 2, &binding), 0);
  EXPECT_EQ(tp_view_binding(c.view, nullptr, 2, &binding), 0);
  EXPECT_EQ(tp_view_binding(c.view, nullptr, 0, &binding), 0);
  struct Row {
    const tp_view* view;
    std::size_t size;
    bool buffer;
    const char* debug;
  };
  std::vector<std::uint8_t> window(TP_TILE_MEMORY_SIZE);
  for (const Row& row : {Row{nullptr, window.size(), true, "Argument(\"view is null\")"},
                         Row{c.view, window.size(), false, "Argument(\"buffer is null\")"},
                         Row{c.view, window.size() - 1, true,
                             "Argument(\"buffer is smaller than TP_TILE_MEMORY_SIZE\")"}}) {
    SCOPED_TRACE(row.debug);
    tp_error* error = nullptr;
    EXPECT_EQ(tp_view_tile_memory(row.view, 5, row.buffer ? window.data() : nullptr, row.size, &error), -1);
    EXPECT_STREQ(tp_error_debug(error), row.debug);
    tp_error_free(error);
  }
}

TEST(CApi, EveryAllocationFailureIsAnErrorOrNone) {
  const std::string bytes = torv_package::testing::serialize(torv_package::testing::valid_application());
  long failures = 0;
  for (long n = 1;; ++n) {
    SCOPED_TRACE(n);
    Opened c;
    allocations = 0;
    fail_at = n;
    open_bytes(c, bytes);
    const bool reached = allocations >= n;
    fail_at = 0;
    if (c.status == 0) {
      const tp_text compiler = tp_application_compiler_version(tp_view_application(c.view));
      EXPECT_EQ(std::string_view(compiler.data, compiler.size), "1.2.3");
    } else {
      ++failures;
      const enum tp_error_kind kind = tp_error_kind(c.error);
      EXPECT_TRUE(kind == TP_ERROR_NO_MEMORY || std::strstr(tp_error_message(c.error), "not enough memory"))
          << tp_error_debug(c.error);
    }
    if (!reached) break;  // every allocation of an open has failed once
  }
  EXPECT_GT(failures, 0);
}

}  // namespace
