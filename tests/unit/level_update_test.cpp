#include <gtest/gtest.h>
#include <memory>
#include <rapidxml/rapidxml.hpp>
#include <string>
#include <vector>

#include "log/logger.h"

using namespace corvane;

namespace {

// Applies one "Plugin" entry (ID, LogLevel) through a status-shaped document.
bool Apply(Logger& log, const std::string& plugins, const std::string& extraModules = "") {
  std::string text =
      "<?xml?><Varn><Modules><Module>" + plugins + "</Module>" + extraModules + "</Modules></Varn>";
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');
  const auto document = std::make_unique<rapidxml::xml_document<char>>();
  document->parse<0>(buffer.data());
  return log.ApplyLevelUpdate(*document);
}

std::string Entry(const std::string& id, const std::string& level) {
  return "<Plugin ID=\"" + id + "\" LogLevel=\"" + level + "\"/>";
}

} // namespace

TEST(LevelUpdate, ParsesClampsAndSkips) {
  Logger log;
  EXPECT_TRUE(Apply(log, Entry("131072", "250")));
  EXPECT_EQ(log.Stored(2), 100);
  EXPECT_FALSE(Apply(log, Entry("131072", "250"))); // same level again: no change
  EXPECT_TRUE(Apply(log, Entry("131072", "-7")));
  EXPECT_EQ(log.Stored(2), -1);
  EXPECT_FALSE(Apply(log, Entry("131072", "abc")));
  EXPECT_TRUE(Apply(log, Entry("131072", "30x")));
  EXPECT_EQ(log.Stored(2), 30);
  EXPECT_FALSE(Apply(log, Entry("65536", "10")));      // plug-in id 1
  EXPECT_FALSE(Apply(log, Entry("5", "10")));          // plug-in id 0
  EXPECT_FALSE(Apply(log, Entry("2147483648", "10"))); // out of range
  EXPECT_FALSE(Apply(log, Entry("x", "10")));
  EXPECT_EQ(log.Stored(1), -1);
  EXPECT_TRUE(Apply(log, Entry("-2147483648", "0")));
  EXPECT_EQ(log.Stored(0), 0);
  EXPECT_FALSE(Apply(log, "<Plugin ID=\"196608\"/>"));
  EXPECT_EQ(log.Stored(3), -1);
}

TEST(LevelUpdate, VisitsEveryModuleAndKeepsGoingPastBadEntries) {
  Logger log;
  EXPECT_TRUE(Apply(log, Entry("abc", "1") + Entry("196608", "40"),
                    "<Other/><Module>" + Entry("327680", "25") + "</Module>"));
  EXPECT_EQ(log.Stored(3), 40);
  EXPECT_EQ(log.Stored(5), 25);
}
