#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "package_writer.hpp"
#include "sample_package.hpp"
#include "torv_package/events.hpp"

namespace torv_package {
namespace {

// A sink that counts what reaches it and can refuse or fail.
class CountingSink : public events::Sink {
 public:
  explicit CountingSink(bool interested, bool throws = false)
      : interested_(interested), throws_(throws) {
    previous_ = events::set_sink(this);
  }
  ~CountingSink() override { events::set_sink(previous_); }

  bool enabled(events::Level, std::string_view target) const noexcept override {
    ++asked;
    return interested_ && target == "torv_package";
  }
  void record(const events::Event&) override {
    ++recorded;
    if (throws_) throw std::runtime_error("sink failed");
  }

  mutable int asked = 0;
  int recorded = 0;

 private:
  bool interested_, throws_;
  events::Sink* previous_;
};

int fields_computed = 0;

void emit_counted() {
  TORV_EVENT(events::Level::Info, "counted",
             events::Field{"n", static_cast<std::uint64_t>(++fields_computed)});
}

TEST(Events, FieldsAreComputedOnlyForAnInterestedSink) {
  fields_computed = 0;
  emit_counted();
  EXPECT_EQ(fields_computed, 0) << "no sink registered";
  {
    CountingSink uninterested(false);
    emit_counted();
    EXPECT_EQ(uninterested.asked, 1);
    EXPECT_EQ(uninterested.recorded, 0);
    EXPECT_EQ(fields_computed, 0);
  }
  CountingSink interested(true);
  emit_counted();
  EXPECT_EQ(interested.recorded, 1);
  EXPECT_EQ(fields_computed, 1);
}

TEST(Events, AFailingSinkChangesNoResult) {
  CountingSink failing(true, true);
  const auto result = testing::read_bytes(testing::serialize(testing::valid_application()));
  ASSERT_TRUE(result) << result.error().debug_string();
  EXPECT_EQ(*result, testing::valid_application());
  EXPECT_EQ(failing.recorded, 2);
}

}  // namespace
}  // namespace torv_package
