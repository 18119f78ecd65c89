// Search requests, cancel marks and their counters, without providers: a
// core that never ran has no plug-ins to search.
#include <cstring>
#include <gtest/gtest.h>

#include "core/dvr_core.h"

using namespace corvane;

using namespace rk::core;

namespace {

EventParms Record(uint64_t source, uint64_t request, const char* text) {
  EventParms e;
  InitEvent(e);
  e.type = RK_TYPE_VIDEO;
  e.flags = kLive;
  e.source = source;
  e.request = request;
  e.data = text;
  e.length = text != nullptr ? static_cast<uint32_t>(std::strlen(text)) : 0;
  return e;
}

EventParms CancelRecord(uint64_t request, bool query) {
  EventParms e;
  InitEvent(e);
  e.type = RK_TYPE_CANCEL;
  e.flags = query ? RK_FLAG_QUERY : 0;
  e.request = request;
  return e;
}

} // namespace

TEST(SearchHandler, RequestsAreRecognisedAndCounted) {
  DvrCore core("/nonexistent/bin/corvane-core");
  SearchHandler& search = core.search;
  // Not searches: id 0, a sender with a plug-in id, a sender without id.
  EXPECT_FALSE(search.StartSearch(Record(0, 0, "a")));
  EXPECT_FALSE(search.StartSearch(Record(RK_ID_WORD(2), 5, "a")));
  EXPECT_FALSE(search.StartSearch(Record(kIdNone, 5, "a")));
  // Swallowed without being counted.
  EXPECT_TRUE(search.StartSearch(Record(0, 5, nullptr)));
  EXPECT_EQ(core.counters.searchRequests.load(), 0u);
  // Counted even though no plug-in provides anything; only the low 32 bits
  // are the search id.
  EXPECT_TRUE(search.StartSearch(Record(0, 0x700000005ull, "criteria")));
  EXPECT_EQ(core.counters.searchRequests.load(), 1u);
  core.search.WaitForSearches();
}

TEST(SearchHandler, CancelMarksLastUntilANewRequestWithTheSameId) {
  DvrCore core("/nonexistent/bin/corvane-core");
  SearchHandler& search = core.search;
  EXPECT_EQ(search.Cancel(CancelRecord(7, true)), 0u);
  EXPECT_EQ(search.Cancel(CancelRecord(0x100000007ull, false)), 0u);
  EXPECT_EQ(core.counters.searchCancels.load(), 1u);
  EXPECT_EQ(search.Cancel(CancelRecord(7, true)), 1u);
  EXPECT_EQ(search.Cancel(CancelRecord(8, true)), 0u);
  EXPECT_EQ(core.counters.searchCancels.load(), 1u); // queries are not cancels

  // A result for a cancelled id, or from a thread that runs no search, is
  // refused and not counted.
  const EventParms result = Record(RK_ID_WORD(2), 7, "r");
  EXPECT_FALSE(search.AdmitResult(result, nullptr));
  EXPECT_FALSE(search.AdmitResult(Record(RK_ID_WORD(2), 9, "r"), nullptr));
  EXPECT_EQ(core.counters.searchResults.load(), 0u);

  // A length-0 request leaves the mark; a real one clears it.
  EXPECT_TRUE(search.StartSearch(Record(0, 7, nullptr)));
  EXPECT_EQ(search.Cancel(CancelRecord(7, true)), 1u);
  EXPECT_TRUE(search.StartSearch(Record(0, 7, "criteria")));
  EXPECT_EQ(search.Cancel(CancelRecord(7, true)), 0u);
  core.search.WaitForSearches();
}

TEST(SearchHandler, SearchJobOwnsItsCopyOfThePayload) {
  char text[] = "criteria";
  const EventParms request = Record(0, 5, text);
  SearchJob search(request);
  ASSERT_NE(search.record.data, nullptr);
  EXPECT_NE(search.record.data, static_cast<const void*>(text));
  text[0] = 'X';
  EXPECT_EQ(std::memcmp(search.record.data, "criteria", 8), 0);
  EXPECT_EQ(search.record.length, 8u);
  EXPECT_EQ(search.record.request, 5u);

  SearchJob empty(Record(0, 5, nullptr));
  EXPECT_EQ(empty.record.data, nullptr);
}
