// Stored-data searches end to end: provider threads, routing of results to
// the requester, pacing, cancellation, and searches still running at stop.
#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>

#include "core_harness.h"

namespace {

// Requests come from a plug-in with id 0 (not "no id").
const std::string kRequester = "id 0x0\ncontrol 1\n";
const std::string kCriteriaHex = "6372697465726961"; // "criteria"

std::string Request(uint32_t id) {
  char text[96];
  std::snprintf(text, sizeof text, "post type=1 flags=0x1000000 request=0x%x text=criteria", id);
  return text;
}

std::string Post(ProbeControl& probe, const std::string& command) {
  return ProbeControl::Field(probe.Command(command), "ret");
}

// Waits until every named probe has been opened, so it can be selected.
void WaitOpened(const CoreLayout& layout, const std::vector<std::string>& names) {
  for (const auto& name : names)
    ASSERT_TRUE(WaitUntil([&] { return !CallsOf(layout.Calls(name), "Open").empty(); })) << name;
}

// Lines starting with `entry` that also contain `text`.
std::vector<std::string> Lines(const CoreLayout& layout, const std::string& name,
                               const std::string& entry, const std::string& text = "") {
  std::vector<std::string> out;
  for (const auto& line : layout.Calls(name))
    if (line.rfind(entry, 0) == 0 && line.find(text) != std::string::npos) out.push_back(line);
  return out;
}

// Stored video records (the probe's search results) delivered to a probe.
std::vector<std::string> StoredEvents(const CoreLayout& layout, const std::string& name) {
  return Lines(layout, name, "OnEvent", "type=0x1 flags=0x4000000 ");
}

// A probe's "SearchPost i=<i>" line, or "" when there is none yet.
std::string SearchPost(const CoreLayout& layout, const std::string& name, int i) {
  const auto lines = Lines(layout, name, "SearchPost i=" + std::to_string(i) + " ");
  return lines.empty() ? "" : lines.front();
}

std::string Repeat(const std::string& byte, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += byte;
  return out;
}

// The "Release ptr=" field is the pointer's bytes in memory order; OnEvent
// prints it with %p.
std::string PointerFromBytes(const std::string& hex) {
  uintptr_t value = 0;
  for (size_t i = hex.size(); i >= 2; i -= 2)
    value = (value << 8) | std::stoul(hex.substr(i - 2, 2), nullptr, 16);
  char text[32];
  std::snprintf(text, sizeof text, "%p", reinterpret_cast<void*>(value));
  return text;
}

size_t IndexOf(const std::vector<std::string>& calls, const std::string& prefix) {
  for (size_t i = 0; i < calls.size(); ++i)
    if (calls[i].rfind(prefix, 0) == 0) return i;
  return calls.size();
}

// Callers close their control connections first: a probe's Unload waits for
// its control thread, which serves an open connection until it is closed.
void StopAndExpectCleanExit(CoreProcess& core) {
  core.Signal(SIGTERM);
  const ExitStatus status = core.Wait(60s);
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(status.code, 0) << core.Stderr();
}

} // namespace

// One request starts one thread per provider (OnSearch, or Read of a reader
// with a stored bit in one of its six searchable accept words), all sharing
// one copy of the request. Anything else is not a search.
TEST(Search, RequestStartsOneThreadPerProviderAndNothingElseDoes) {
  CoreLayout layout;
  layout.AddProbe("req.so", kRequester);
  layout.AddProbe("prov.so", "id 0x20000\ncontrol 1\nsearch_nested 1\n");
  // A legacy receiver without search entry: sees live video through Write.
  layout.AddProbe("watch.so", "id 0x30000\naccept.video 0x2000000\nwrite 1\n", "probe_legacy");
  // Live video only, and a stored bit where searches do not look (PTZ).
  layout.AddProbe("live.so", "id 0x40000\nreader 1\naccept.video 0x2000000\naccept.ptz 0x4000000\n",
                  "probe_legacy");
  layout.AddProbe("store.so", "id 0x50000\nreader 1\naccept.analytic 0x4000000\n", "probe_legacy");
  layout.AddProbe("noflag.so", "id 0x60000\naccept.video 0x4000000\n", "probe_legacy");
  CoreProcess core(layout);
  core.Start();
  WaitOpened(layout, {"req.so", "prov.so", "watch.so", "live.so", "store.so", "noflag.so"});
  {
    ProbeControl req(layout, "req.so");
    ProbeControl prov(layout, "prov.so");

    EXPECT_EQ(Post(req, Request(0x5)), "0");
    ASSERT_TRUE(WaitUntil([&] {
      return !Lines(layout, "prov.so", "SearchDone").empty() &&
             !Lines(layout, "req.so", "SearchDone").empty() &&
             !Lines(layout, "store.so", "ReadDone", "").empty();
    }));
    // The provider's own request from inside its search is swallowed.
    EXPECT_EQ(Lines(layout, "prov.so", "SearchNested").size(), 1u);
    EXPECT_EQ(CallField(Lines(layout, "prov.so", "SearchNested").front(), "ret"), "0");

    // Not searches: id 0 is an ordinary event; a request from a plug-in with
    // an id, or from no id, is a result posted off a search thread.
    EXPECT_EQ(Post(req, "post type=1 flags=0x1000000 request=0x0 text=idzero"), "0");
    EXPECT_EQ(Post(prov, "post type=1 flags=0x1000000 request=0x5 text=notmine"), "1");
    EXPECT_EQ(Post(req, "post type=1 flags=0x1000000 source=0x80000000 request=0x5 text=none"),
              "1");
    // Length 0: accepted, yet nothing starts and nothing is queued.
    EXPECT_EQ(Post(req, "post type=1 flags=0x1000000 request=0x6"), "0");
    EXPECT_EQ(Post(req, "post type=1 flags=0x1000000 request=0x0 text=endmarker"), "0");
    ASSERT_TRUE(WaitUntil([&] { return !Lines(layout, "watch.so", "Write", " len=9 ").empty(); }));
    std::this_thread::sleep_for(1s); // a wrongly started search would show by now
  }
  StopAndExpectCleanExit(core);

  // Two OnSearch providers and one legacy reader with a stored bit: three
  // threads, each its own, all given the same copy of the request.
  const auto reqSearch = Lines(layout, "req.so", "OnSearch");
  const auto provSearch = Lines(layout, "prov.so", "OnSearch");
  ASSERT_EQ(reqSearch.size(), 1u);
  ASSERT_EQ(provSearch.size(), 1u);
  for (const auto& line : {reqSearch.front(), provSearch.front()}) {
    EXPECT_NE(line.find("type=0x1 flags=0x1000000 source=0x0 request=0x5 len=8 "),
              std::string::npos)
        << line;
    EXPECT_EQ(CallField(line, "data"), kCriteriaHex);
  }
  EXPECT_EQ(CallField(reqSearch.front(), "ptr"), CallField(provSearch.front(), "ptr"));
  EXPECT_NE(CallField(reqSearch.front(), "tid"), CallField(provSearch.front(), "tid"));
  const auto storeReads = Lines(layout, "store.so", "Read", " len=8 ");
  ASSERT_EQ(storeReads.size(), 1u);
  EXPECT_EQ(CallField(storeReads.front(), "request"), "5");
  EXPECT_EQ(CallField(storeReads.front(), "second"), "0");
  EXPECT_EQ(CallField(storeReads.front(), "data"), kCriteriaHex);
  EXPECT_EQ(Lines(layout, "store.so", "Read ").size(), 2u); // its reader thread, and the search
  EXPECT_EQ(Lines(layout, "live.so", "Read ").size(), 1u);  // its reader thread only
  EXPECT_EQ(Lines(layout, "live.so", "Read ", " len=8 ").size(), 0u);
  EXPECT_TRUE(Lines(layout, "noflag.so", "Read ").empty());

  // What was not a search: only id 0 ("idzero") reached the watcher, as
  // live video; the refused results (7 and 4 bytes) and the length-0
  // request did not, nor did anything from the nested request.
  EXPECT_EQ(Lines(layout, "watch.so", "Write", " type=1 len=6 ").size(), 1u);
  EXPECT_TRUE(Lines(layout, "watch.so", "Write", " len=7 ").empty());
  EXPECT_TRUE(Lines(layout, "watch.so", "Write", " len=4 ").empty());
  EXPECT_TRUE(Lines(layout, "watch.so", "Write", " len=0 ").empty());
  EXPECT_TRUE(Lines(layout, "watch.so", "Write", " len=1 ").empty());
  for (const auto& name : {"req.so", "prov.so"})
    EXPECT_TRUE(Lines(layout, name, "OnSearch", "request=0x99 ").empty()) << name;
}

// Three results with payloads while the requester keeps each for a while:
// the provider's second post returns only after the first payload is given
// back, its third only after the second. Nobody else sees the results.
TEST(Search, ProviderHasOnePayloadInFlightAndResultsReachOnlyTheRequester) {
  CoreLayout layout;
  layout.AddProbe("req.so", kRequester + "keep 1\nrelease_after_ms 300\n");
  layout.AddProbe("prov.so", "id 0x20000\nsearch_results 3\nsearch_len 1000\n");
  layout.AddProbe("watch.so", "id 0x30000\naccept.video 0x6000000\nkeep 1\n");
  CoreProcess core(layout);
  core.Start();
  WaitOpened(layout, {"req.so", "prov.so", "watch.so"});
  {
    ProbeControl req(layout, "req.so");

    EXPECT_EQ(Post(req, Request(0x7)), "0");
    ASSERT_TRUE(WaitUntil([&] { return !Lines(layout, "prov.so", "SearchDone").empty(); }, 30s));
    ASSERT_TRUE(WaitUntil([&] { return StoredEvents(layout, "req.so").size() == 3; }));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(CallField(SearchPost(layout, "prov.so", i), "ret"), "0");

    // In the requester's own order: each payload arrives only after the
    // previous one was released. "E<fill>" per delivered result, "R" per
    // release of the payload delivered last.
    const auto order = [&] {
      std::vector<std::string> seen;
      std::string lastPtr;
      for (const auto& line : layout.Calls("req.so")) {
        if (line.rfind("OnEvent", 0) == 0 &&
            line.find("type=0x1 flags=0x4000000 ") != std::string::npos) {
          seen.push_back("E" + CallField(line, "data").substr(0, 2));
          lastPtr = CallField(line, "ptr");
        } else if (line.rfind("Release", 0) == 0 && !lastPtr.empty() &&
                   PointerFromBytes(CallField(line, "ptr")) == lastPtr) {
          seen.push_back("R");
          lastPtr.clear();
        }
      }
      return seen;
    };
    ASSERT_TRUE(WaitUntil([&] { return order().size() >= 6; }));
    EXPECT_EQ(order(), (std::vector<std::string>{"E01", "R", "E02", "R", "E03", "R"}));
    for (const auto& line : StoredEvents(layout, "req.so")) {
      EXPECT_NE(line.find("type=0x1 flags=0x4000000 source=0x20000 request=0x7 len=1000 "),
                std::string::npos)
          << line;
    }
    EXPECT_TRUE(StoredEvents(layout, "watch.so").empty());
  }
  StopAndExpectCleanExit(core);
}

// Cancel, then results are refused (1) and not queued; the cancel query
// answers; a new request with the same id admits results again.
TEST(Search, CancelRefusesResultsUntilTheSameIdIsRequestedAgain) {
  CoreLayout layout;
  layout.AddProbe("req.so", kRequester);
  layout.AddProbe("prov.so",
                  "id 0x20000\ncontrol 1\nsearch_results 3\nsearch_len 8\nsearch_wait_cancel 1\n");
  CoreProcess core(layout);
  core.Start();
  WaitOpened(layout, {"req.so", "prov.so"});
  {
    ProbeControl req(layout, "req.so");
    ProbeControl prov(layout, "prov.so");

    EXPECT_EQ(Post(req, "post type=4096 flags=0x1 request=0x7"), "0");
    EXPECT_EQ(Post(req, Request(0x7)), "0");
    ASSERT_TRUE(WaitUntil([&] { return !SearchPost(layout, "prov.so", 0).empty(); }));
    EXPECT_EQ(CallField(SearchPost(layout, "prov.so", 0), "ret"), "0");
    EXPECT_EQ(Post(req, "post type=4096 request=0x7"), "0");
    EXPECT_EQ(Post(req, "post type=4096 flags=0x1 request=0x7"), "1");
    EXPECT_EQ(Post(req, "post type=4096 flags=0x1 request=0x8"), "0");
    ASSERT_TRUE(WaitUntil([&] { return !Lines(layout, "prov.so", "SearchDone").empty(); }));
    EXPECT_EQ(CallField(SearchPost(layout, "prov.so", 1), "ret"), "1");
    EXPECT_EQ(CallField(SearchPost(layout, "prov.so", 2), "ret"), "1");
    // The mark outlives the search.
    EXPECT_EQ(Post(req, "post type=4096 flags=0x1 request=0x7"), "1");

    EXPECT_EQ(prov.Command("set search_wait_cancel=0"), "ok");
    EXPECT_EQ(Post(req, Request(0x7)), "0");
    EXPECT_EQ(Post(req, "post type=4096 flags=0x1 request=0x7"), "0");
    ASSERT_TRUE(WaitUntil([&] { return Lines(layout, "prov.so", "SearchDone").size() == 2; }));
    const auto posts = Lines(layout, "prov.so", "SearchPost");
    ASSERT_EQ(posts.size(), 6u);
    for (size_t i = 3; i < 6; ++i) EXPECT_EQ(CallField(posts[i], "ret"), "0") << posts[i];

    // A stored record for the requester queued behind the results: once it
    // arrives, every queued result has.
    EXPECT_EQ(Post(prov, "post type=4 flags=0x4000000 request=0x0 text=marker"), "0");
    ASSERT_TRUE(
        WaitUntil([&] { return !Lines(layout, "req.so", "OnEvent", "type=0x4 ").empty(); }));
    const auto stored = StoredEvents(layout, "req.so");
    ASSERT_EQ(stored.size(), 4u);
    EXPECT_EQ(CallField(stored[0], "data"), Repeat("01", 8));
    EXPECT_EQ(CallField(stored[1], "data"), Repeat("01", 8));
    EXPECT_EQ(CallField(stored[2], "data"), Repeat("02", 8));
    EXPECT_EQ(CallField(stored[3], "data"), Repeat("03", 8));
  }
  StopAndExpectCleanExit(core);
}

// A result already waiting for its provider's previous payload is queued
// when the wait ends, even though the search was cancelled meanwhile; the
// cancel holds from the next result on.
TEST(Search, ResultThatWaitedIsQueuedDespiteACancelDuringItsWait) {
  CoreLayout layout;
  layout.AddProbe("req.so", kRequester + "keep 1\n");
  layout.AddProbe("prov.so", "id 0x20000\nsearch_results 3\nsearch_len 8\n");
  CoreProcess core(layout);
  core.Start();
  WaitOpened(layout, {"req.so", "prov.so"});
  {
    ProbeControl req(layout, "req.so");

    EXPECT_EQ(Post(req, Request(0x9)), "0");
    ASSERT_TRUE(WaitUntil([&] {
      return !SearchPost(layout, "prov.so", 0).empty() &&
             StoredEvents(layout, "req.so").size() == 1;
    }));
    // The requester keeps payload 1, so the second post is held in the core.
    std::this_thread::sleep_for(1s);
    ASSERT_TRUE(SearchPost(layout, "prov.so", 1).empty());
    EXPECT_EQ(Post(req, "post type=4096 request=0x9"), "0");
    EXPECT_NE(ProbeControl::Field(req.Command("release"), "released"), "0");
    ASSERT_TRUE(WaitUntil([&] { return !Lines(layout, "prov.so", "SearchDone").empty(); }));
    const std::string second = SearchPost(layout, "prov.so", 1);
    EXPECT_EQ(CallField(second, "ret"), "0");
    EXPECT_GE(std::stoi(CallField(second, "waited_ms")), 900);
    EXPECT_EQ(CallField(SearchPost(layout, "prov.so", 2), "ret"), "1");

    ASSERT_TRUE(WaitUntil([&] { return StoredEvents(layout, "req.so").size() == 2; }));
    std::this_thread::sleep_for(500ms);
    const auto stored = StoredEvents(layout, "req.so");
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(CallField(stored[1], "data"), Repeat("02", 8));
    req.Command("release");
  }
  StopAndExpectCleanExit(core);
}

// Stopping with searches in flight: a provider waiting on its pending
// payload is woken with 1, a provider still searching is closed only after
// its search returned, and the id-8 plug-in, dropped from the list at
// close, is closed and unloaded on its search thread when the search ends.
TEST(Search, StopWithSearchesInFlightClosesProvidersAfterTheirSearch) {
  CoreLayout layout;
  layout.AddProbe("req.so", kRequester + "keep 1\n");
  layout.AddProbe("p8.so", "id 0x80000\nsearch_ms 3000\npost_in_entries 1\n");
  layout.AddProbe("p2.so", "id 0x20000\nsearch_ms 2000\n");
  layout.AddProbe("p3.so", "id 0x30000\nsearch_results 2\nsearch_len 8\n");
  CoreProcess core(layout);
  core.Start();
  WaitOpened(layout, {"req.so", "p8.so", "p2.so", "p3.so"});
  {
    ProbeControl req(layout, "req.so");

    EXPECT_EQ(Post(req, Request(0x11)), "0");
    ASSERT_TRUE(WaitUntil([&] {
      return !Lines(layout, "p8.so", "OnSearch").empty() &&
             !Lines(layout, "p2.so", "OnSearch").empty() &&
             !SearchPost(layout, "p3.so", 0).empty() && StoredEvents(layout, "req.so").size() == 1;
    }));
  }
  StopAndExpectCleanExit(core);

  // Woken by the stop rather than left waiting for a payload nobody frees.
  EXPECT_EQ(CallField(SearchPost(layout, "p3.so", 1), "ret"), "1");
  const auto p3 = layout.Calls("p3.so");
  EXPECT_LT(IndexOf(p3, "SearchDone"), IndexOf(p3, "Close"));

  const auto p2 = layout.Calls("p2.so");
  EXPECT_LT(IndexOf(p2, "SearchDone"), IndexOf(p2, "Close"));
  EXPECT_LT(IndexOf(p2, "Close"), IndexOf(p2, "Unload"));
  EXPECT_LT(IndexOf(p2, "Unload"), p2.size());

  const auto p8 = layout.Calls("p8.so");
  const size_t search = IndexOf(p8, "OnSearch");
  const size_t done = IndexOf(p8, "SearchDone");
  const size_t close = IndexOf(p8, "Close");
  const size_t unload = IndexOf(p8, "Unload");
  ASSERT_LT(unload, p8.size());
  EXPECT_LT(search, done);
  EXPECT_LT(done, close);
  EXPECT_LT(close, unload);
  EXPECT_EQ(CallField(p8[close], "tid"), CallField(p8[search], "tid"));
  EXPECT_EQ(CallField(p8[unload], "tid"), CallField(p8[search], "tid"));
  EXPECT_EQ(CallsOf(p8, "Close").size(), 1u);
  EXPECT_EQ(CallsOf(p8, "Unload").size(), 1u);
}
