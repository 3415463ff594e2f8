// The view against the owned read: every seed of the fuzz corpus, and the view's own
// promises (zero copy, lifetime across moves).
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include <gtest/gtest.h>

#include "package_writer.hpp"
#include "sample_package.hpp"
#include "seed_corpus.hpp"
#include "torv_package/view.hpp"
#include "view_agreement.hpp"

namespace torv_package {
namespace {

TEST(ViewAgreement, EverySeedReadsAlikeThroughEveryReader) {
  for (const auto& seed : testing::seed_corpus()) {
    SCOPED_TRACE(seed.name);
    EXPECT_EQ(testing::view_disagreement(seed.bytes), std::nullopt);
  }
}

// Counts of what follows the message agree too, also for a package that is refused.
TEST(ViewAgreement, TrailingBytesAreCountedAlike) {
  Application bad = testing::valid_application();
  bad.tiles[1].segments[0].address = 0;
  const std::string rows[] = {
      testing::serialize(testing::valid_application()) + "abc",
      testing::serialize(bad) + std::string(9, '\0'),
      testing::serialize(testing::valid_application()).substr(0, 40) + "x",
  };
  for (const auto& bytes : rows) EXPECT_EQ(testing::view_disagreement(bytes), std::nullopt);
}

TEST(PackageView, DataIsASpanIntoTheBytesAndOutlivesAMove) {
  const Application app = testing::valid_application();
  const std::string bytes = testing::serialize(app);
  std::vector<std::byte> memory(bytes.size());
  std::memcpy(memory.data(), bytes.data(), bytes.size());
  auto opened = PackageView::from_bytes(std::span<const std::byte>(memory));
  ASSERT_TRUE(opened) << opened.error().debug_string();
  const auto data = opened->tiles()[0].segments()[0].data();
  const auto* first = reinterpret_cast<const std::byte*>(data.data());
  EXPECT_GE(first, memory.data());
  EXPECT_LT(first, memory.data() + memory.size()) << "segment data must not be copied";

  const PackageView moved = std::move(*opened);
  const auto tile = moved.tiles()[0];
  ASSERT_EQ(tile.segments().size(), app.tiles[0].segments.size());
  EXPECT_TRUE(std::ranges::equal(tile.segments()[0].data(), app.tiles[0].segments[0].data));
  EXPECT_EQ(moved.compiler_version(), app.compiler_version);
  EXPECT_EQ(moved.details().message_bytes, bytes.size());

  // Iterators taken from a list returned by value stay usable past its statement.
  std::size_t walked = 0;
  for (auto it = moved.tiles().begin(); it != moved.tiles().end(); ++it) walked += (*it).segments().size() + 1;
  std::size_t expected = 0;
  for (const auto& tile : app.tiles) expected += tile.segments.size() + 1;
  EXPECT_EQ(walked, expected);
}

// Memory that is not word-aligned: only the message is copied, and what follows it is
// counted from the bytes given.
TEST(PackageView, UnalignedMemoryCopiesTheMessageOnly) {
  const std::string bytes = testing::serialize(testing::valid_application());
  std::vector<std::byte> memory(1 + bytes.size() + 1000);
  std::memcpy(memory.data() + 1, bytes.data(), bytes.size());
  const auto view = PackageView::from_bytes(std::span<const std::byte>(memory).subspan(1));
  ASSERT_TRUE(view) << view.error().debug_string();
  EXPECT_EQ(view->message_bytes().size(), bytes.size());
  EXPECT_EQ(view->details().trailing_bytes, 1000u);
  const auto* at = reinterpret_cast<const std::byte*>(view->message_bytes().data());
  EXPECT_TRUE(at < memory.data() || at >= memory.data() + memory.size()) << "unaligned bytes must be copied";
}

}  // namespace
}  // namespace torv_package
