#include <gtest/gtest.h>

#include "log/format_size.h"

using namespace corvane;

TEST(FormatSize, GroupsSmallCountsAndScalesLargeOnes) {
  EXPECT_EQ(FormatSize(12345), "12,345");
  EXPECT_EQ(FormatSize(-512), "-512");
  EXPECT_EQ(FormatSize(102399), "102,399");
  EXPECT_EQ(FormatSize(102400), "100KiB");
  EXPECT_EQ(FormatSize((1LL << 20) - 1), "1024KiB");
  EXPECT_EQ(FormatSize(3LL << 29), "1.5GiB");
  EXPECT_EQ(FormatSize(-100LL << 20), "-100MiB");
  EXPECT_EQ(FormatSize(INT64_MIN), "-8EiB");
}
