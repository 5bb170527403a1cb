#include <gtest/gtest.h>

#include "platform/Log.h"

TEST(LogTest, TimeStampHasDayMonthYearAndTime) {
  // 2009-03-05 14:07:31 UTC; the day and month survive any time zone within a few hours.
  std::string text = varnel::FormatLogTime(1236262051);
  ASSERT_EQ(text.size(), 20u);
  EXPECT_EQ(text.substr(2, 10), " Mar 2009 ");
}
