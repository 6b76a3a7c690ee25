#include <gtest/gtest.h>

#include <stdexcept>

#include "mapping/fake_device.hpp"
#include "qalto/layer.hpp"
#include "qalto/mapping_status.hpp"

namespace qalto {
namespace {

MappingStatus failed(std::string message, std::string layer = "") {
  return MappingStatus::failure(std::move(message), std::move(layer));
}

std::shared_ptr<Layer> input_layer(const std::string& name) {
  return testing::make_input_layer(name);
}

TEST(MappingStatus, SuccessState) {
  const MappingStatus s = MappingStatus::success();
  EXPECT_FALSE(s.failed);
  EXPECT_EQ(s.message, "Success.");
  EXPECT_EQ(s.layer, "");
  EXPECT_EQ(s.to_string(), "Success.");
}

TEST(MappingStatus, SuccessNeverOverwrites) {
  MappingStatus s = MappingStatus::success();
  s += MappingStatus::success();
  EXPECT_EQ(s, MappingStatus::success());
  MappingStatus f = failed("Bad.", "conv");
  f += MappingStatus::success();
  EXPECT_EQ(f, failed("Bad.", "conv"));
}

TEST(MappingStatus, FirstFailureTakenWholeLaterOnesChained) {
  MappingStatus s = MappingStatus::success();
  s += failed("First.", "a");
  EXPECT_EQ(s, failed("First.", "a"));
  s += failed("Second.", "b");
  s += failed("Third.");
  EXPECT_TRUE(s.failed);
  EXPECT_EQ(s.layer, "a");
  EXPECT_EQ(s.message, "First. Second. Third.");
}

TEST(MappingStatus, TextWithAndWithoutLayer) {
  EXPECT_EQ(failed("Too big.").to_string(), "Too big.");
  EXPECT_EQ(failed("Too big.", "dense").to_string(), "Cannot map layer 'dense'. Too big.");
}

TEST(MappingStatus, FromLayerCarriesItsName) {
  const MappingStatus s(*input_layer("in0"), "Nope.");
  EXPECT_TRUE(s.failed);
  EXPECT_EQ(s.layer, "in0");
  EXPECT_EQ(s.message, "Nope.");
}

TEST(MappingStatus, ComponentErrorAgreesVerbsWithNumbers) {
  const auto layer = input_layer("conv_1");
  const MappingStatus a = MappingStatus::component_error(*layer, "CNP2", 3, 1);
  EXPECT_TRUE(a.failed);
  EXPECT_EQ(a.layer, "conv_1");
  EXPECT_EQ(a.message,
            "Not enough hardware components of type CNP2 available. 3 are needed but 1 is "
            "available.");
  EXPECT_EQ(MappingStatus::component_error(*layer, "FNP3", 1, 0).message,
            "Not enough hardware components of type FNP3 available. 1 is needed but 0 are "
            "available.");
  EXPECT_EQ(MappingStatus::component_error(*layer, "X", 18446744073709551615ull, 2).message,
            "Not enough hardware components of type X available. 18446744073709551615 are "
            "needed but 2 are available.");
}

TEST(MappingStatus, ThrowExceptionCarriesText) {
  try {
    failed("Broken.", "l").throw_exception();
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Cannot map layer 'l'. Broken.");
  }
}

TEST(MappingStatusGroup, PrintsOwnMessageWhenEmpty) {
  MappingStatusGroup group;
  EXPECT_FALSE(group.failed);
  EXPECT_EQ(group.to_string(), "Success.");
  MappingStatusGroup other;
  other.failed = true;
  other.message = "Mapping failed.";
  group += other;
  EXPECT_TRUE(group.failed);
  EXPECT_EQ(group.to_string(), "Mapping failed.");
}

TEST(MappingStatusGroup, PrintsSingleStatusAsItsOwnText) {
  MappingStatusGroup group;
  group.statuses.push_back(failed("Only message."));
  EXPECT_EQ(group.to_string(), "Only message.");
  group.statuses[0].layer = "x";
  EXPECT_EQ(group.to_string(), "Cannot map layer 'x'. Only message.");
}

TEST(MappingStatusGroup, PrintsListForSeveralStatuses) {
  MappingStatusGroup group;
  group.statuses = {failed("A.", "first"), failed("B."), failed("C.", "third")};
  EXPECT_EQ(group.to_string(),
            "Cannot map layer 'first':\n  * Layer 'first': A.\n  * B.\n  * Layer 'third': C.");
  group.statuses = {failed("A."), failed("B.", "second")};
  EXPECT_EQ(group.to_string(), "Cannot map layer '':\n  * A.\n  * Layer 'second': B.");
}

TEST(MappingStatusGroup, MergeKeepsFirstFailureAndAppendsStatuses) {
  MappingStatusGroup group;
  MappingStatusGroup succeeded;
  succeeded.statuses.push_back(failed("Ignored."));
  group += succeeded;  // not failed: nothing changes, even with statuses
  EXPECT_FALSE(group.failed);
  EXPECT_TRUE(group.statuses.empty());

  MappingStatusGroup first;
  first.failed = true;
  first.message = "First group.";
  first.statuses = {failed("a.", "1")};
  MappingStatusGroup second;
  second.failed = true;
  second.message = "Second group.";
  second.statuses = {failed("b.", "2"), failed("c.", "3")};
  group += first;
  group += second;
  EXPECT_TRUE(group.failed);
  EXPECT_EQ(group.message, "First group.");
  ASSERT_EQ(group.statuses.size(), 3u);
  EXPECT_EQ(group.statuses[1], failed("b.", "2"));
  EXPECT_EQ(group.statuses[2], failed("c.", "3"));
}

TEST(AddUniqueStatus, AppendsOnlyNewStatusesAndMarksFailed) {
  MappingStatusGroup group;
  add_unique_status(group, failed("Build failed.", "l1"));
  EXPECT_TRUE(group.failed);
  EXPECT_EQ(group.message, "Success.");
  ASSERT_EQ(group.statuses.size(), 1u);

  add_unique_status(group, failed("Build failed.", "l1"));
  EXPECT_EQ(group.statuses.size(), 1u);
  add_unique_status(group, failed("Build failed.", "l2"));
  EXPECT_EQ(group.statuses.size(), 2u);

  // Even a successful status marks the group failed when it is appended.
  MappingStatusGroup fresh;
  add_unique_status(fresh, MappingStatus::success());
  EXPECT_TRUE(fresh.failed);
  // An equal status already present leaves the flag alone.
  fresh.failed = false;
  add_unique_status(fresh, MappingStatus::success());
  EXPECT_FALSE(fresh.failed);
  EXPECT_EQ(fresh.statuses.size(), 1u);
}

}  // namespace
}  // namespace qalto
