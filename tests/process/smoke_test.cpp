#include <gtest/gtest.h>

#include "support/helper_process.h"

namespace tolvane::testing {
namespace {

TEST(ProcessSmoke, AnswersAndExitsAtEndOfInput) {
  HelperProcess helper;
  helper.sendLine({{"type", "stop"}, {"id", 1}});
  EXPECT_EQ(helper.readMessage(), Json::parse(R"({"type":"answer","id":1})"));
  helper.closeInput();
  EXPECT_EQ(helper.waitExit(), 0);
  EXPECT_EQ(helper.stderrText(), "");
}

}  // namespace
}  // namespace tolvane::testing
