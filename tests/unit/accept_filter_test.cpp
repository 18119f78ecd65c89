// Who receives a queued record: the rules a plug-in's accept words and id
// decide, one case per rule that plug-ins rely on.
#include "events/accept_filter.h"

#include <gtest/gtest.h>

using namespace corvane;
using namespace rk::core;

namespace {

PluginInfo Plugin(uint32_t id) {
  auto info = MakeRecord<PluginInfo>();
  info.pluginId = RK_ID_WORD(id);
  return info;
}

EventParms Record(uint64_t type, uint64_t flags, uint64_t source) {
  EventParms record;
  InitEvent(record);
  record.type = type;
  record.flags = flags;
  record.source = source;
  return record;
}

} // namespace

TEST(AcceptFilter, LiveRecordsNeedTheLiveBitNotJustAnyBit) {
  auto provider = Plugin(5);
  provider.acceptAlarm = kStored; // provides stored alarms only
  provider.acceptVideo = kStored;
  const auto alarm = Record(RK_TYPE_ALARM, kLive, RK_ID_WORD(3));
  const auto video = Record(RK_TYPE_VIDEO, kLive, RK_ID_WORD(3));
  EXPECT_FALSE(Accepts(provider, alarm));
  EXPECT_FALSE(Accepts(provider, video));
  provider.acceptAlarm = kStored | kAccepts;
  provider.acceptVideo = kAccepts;
  EXPECT_TRUE(Accepts(provider, alarm));
  EXPECT_TRUE(Accepts(provider, video));
}

TEST(AcceptFilter, StoredRecordsGoToTheAddressedPluginOnly) {
  auto requester = Plugin(4);
  auto other = Plugin(5);
  other.acceptVideo = kAccepts | kStored;
  auto result = Record(RK_TYPE_VIDEO, kStored, RK_ID_WORD(2));
  result.request = RK_ID_WORD(4) | 0x17; // search id in the low bits
  EXPECT_TRUE(Accepts(requester, result));
  EXPECT_FALSE(Accepts(other, result));
}

TEST(AcceptFilter, OwnRecordsComeBackOnlyWhenAsked) {
  auto camera = Plugin(3);
  camera.acceptVideo = kAccepts;
  camera.acceptLog = kAccepts;
  auto video = Record(RK_TYPE_VIDEO, kLive, RK_ID_WORD(3));
  EXPECT_FALSE(Accepts(camera, video)); // its own input video
  video.media.mediaFlags = RK_MEDIA_OUTPUT;
  EXPECT_TRUE(Accepts(camera, video)); // its own output video
  EXPECT_FALSE(Accepts(camera, Record(RK_TYPE_LOG, kLive, RK_ID_WORD(3))));
  EXPECT_TRUE(Accepts(camera, Record(RK_TYPE_LOG, kLive, kIdNone)));

  auto config = Record(RK_TYPE_CONFIG, kLive, RK_ID_WORD(3));
  EXPECT_FALSE(Accepts(camera, config));
  config.echoToSource = 1;
  EXPECT_TRUE(Accepts(camera, config));
  EXPECT_TRUE(Accepts(Plugin(7), Record(RK_TYPE_CONFIG, kLive, RK_ID_WORD(3))));
}

TEST(AcceptFilter, ModifiedMediaNeverReachesPluginZeroAndWatchdogsStayHome) {
  auto zero = Plugin(0);
  zero.acceptVideo = kAccepts;
  const auto modified = Record(RK_TYPE_VIDEO | RK_TYPE_MODIFIER, kLive, RK_ID_WORD(3));
  EXPECT_FALSE(Accepts(zero, modified));
  auto nine = Plugin(9);
  nine.acceptVideo = kAccepts;
  EXPECT_TRUE(Accepts(nine, modified));
  nine.acceptWatchdog = kAccepts;
  EXPECT_FALSE(Accepts(nine, Record(RK_TYPE_WATCHDOG, kLive, RK_ID_WORD(3))));
  EXPECT_TRUE(Accepts(nine, Record(RK_TYPE_WATCHDOG, kLive, RK_ID_WORD(9))));
}
