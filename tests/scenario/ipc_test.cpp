// The IPC channel end to end: the test is the parent on one end of the
// socket pair, probes are the plug-ins packets are meant for.
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "core_harness.h"

namespace {

constexpr const char* kDisconnected = "corvaned ipc pipe disconnected";
constexpr const char* kBadLength = "bad ipc packet length";

std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// The data fields of a probe's delivered packets, in order.
std::vector<std::string> Delivered(const CoreLayout& layout, const std::string& file,
                                   const std::string& entry = "OnIpcResult") {
  std::vector<std::string> out;
  for (const auto& line : CallsOf(layout.Calls(file), entry))
    out.push_back(CallField(line, "data"));
  return out;
}

// Sends a packet to the probe with id 1 and waits until it has it: every
// packet sent before has been handled by then.
void Sync(CoreProcess& core, const CoreLayout& layout, const std::string& tag) {
  const auto packet = Packet(0x5, Address(1), "sync-" + tag);
  ASSERT_TRUE(core.Send(packet));
  ASSERT_TRUE(WaitUntil([&] {
    const auto data = Delivered(layout, "a.so");
    return !data.empty() && data.back() == HexOf(packet);
  })) << tag;
}

} // namespace

TEST(Ipc, FramingAcrossAndWithinMessages) {
  CoreLayout layout;
  layout.AddProbe("a.so", "id 0x10000\n");
  CoreProcess core(layout);
  core.Start();
  ASSERT_TRUE(Opened(layout, "a.so"));

  std::vector<std::string> expected;
  // Two packets in one message, then one on its own: all in order.
  const auto one = Packet(100, Address(1), "one");
  const auto two = Packet(101, Address(1) | 0xF00FFFFF, "two"); // other address bits are not read
  const auto three = Packet(102, Address(1), "three");
  ASSERT_TRUE(core.Send(Join({one, two})));
  ASSERT_TRUE(core.Send(three));
  expected.insert(expected.end(), {HexOf(one), HexOf(two), HexOf(three)});

  // A header in one message, its payload in the next: delivered once.
  const auto split = Packet(103, Address(1), std::string(300, 's'));
  ASSERT_TRUE(core.Send({split.begin(), split.begin() + 16}));
  ASSERT_TRUE(core.Send({split.begin() + 16, split.end()}));
  expected.push_back(HexOf(split));

  // The largest packet there is.
  std::string payload(65536 - 16, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
  const auto largest = Packet(104, Address(1), payload);
  ASSERT_EQ(largest.size(), 65536u);
  ASSERT_TRUE(core.Send(largest));
  expected.push_back(HexOf(largest));
  ASSERT_TRUE(WaitUntil([&] { return Delivered(layout, "a.so").size() >= expected.size(); }));
  EXPECT_EQ(Delivered(layout, "a.so"), expected);
  EXPECT_EQ(core.CountStdout(kBadLength), 0u);

  // Lengths that can never be consumed: the message, and every buffered byte
  // goes (the good packet behind the bad header included); the channel goes on.
  size_t bad = 0;
  for (uint32_t length : {65537u, 15u, 0u}) {
    auto header = Packet(105, Address(1), "");
    std::memcpy(header.data(), &length, sizeof length);
    ASSERT_TRUE(core.Send(Join({header, Packet(106, Address(1), "discarded")})));
    ++bad;
    ASSERT_TRUE(WaitUntil([&] { return core.CountStdout(kBadLength) == bad; })) << length;
    Sync(core, layout, std::to_string(length));
  }
  for (const auto& data : Delivered(layout, "a.so"))
    EXPECT_EQ(data.find(HexOf(Packet(106, Address(1), "discarded"))), std::string::npos);

  core.Signal(SIGTERM);
  EXPECT_EQ(core.Wait().code, 0);
}

TEST(Ipc, ConsoleOffOnlyForExactBackgroundField) {
  CoreLayout layout;
  layout.AddProbe("a.so", "id 0x10000\ncontrol 1\n");
  CoreProcess core(layout);
  core.Start();
  ASSERT_TRUE(Opened(layout, "a.so"));
  ProbeControl probe(layout, "a.so");
  // A Warning log record from the probe that asks for a console line.
  auto consoleLine = [&](const std::string& text) {
    EXPECT_EQ(probe.Command("post type=64 flags=0x1000002 level=50 text=" + text), "ret=0");
  };
  const std::string nul(1, '\0');

  const std::vector<std::string> near = {"background:true", "Background:True",  "Background:true ",
                                         "Background:tru",  "Background:truex", "xBackground:true"};
  int n = 0;
  for (const auto& third : near) {
    ASSERT_TRUE(core.Send(Packet(7, 0, "corvaned" + nul + "1.0" + nul + third)));
    Sync(core, layout, "near" + std::to_string(n));
    consoleLine("shown-" + std::to_string(n));
    EXPECT_TRUE(core.WaitForStdout("shown-" + std::to_string(n))) << third;
    ++n;
  }
  // As the second field it is only a version.
  ASSERT_TRUE(core.Send(Packet(7, 0, "corvaned" + nul + "Background:true")));
  Sync(core, layout, "second");
  consoleLine("shown-second");
  EXPECT_TRUE(core.WaitForStdout("shown-second"));

  // Exact, with a fourth field that is ignored.
  ASSERT_TRUE(
      core.Send(Packet(7, 0, "corvaned" + nul + "1.0" + nul + "Background:true" + nul + "x")));
  Sync(core, layout, "exact");
  consoleLine("hidden-1");
  // A later identity without the third field does not bring the console back.
  ASSERT_TRUE(core.Send(Packet(7, 0, "corvaned" + nul + "1.1")));
  Sync(core, layout, "later");
  consoleLine("hidden-2");

  ASSERT_TRUE(core.Send(Packet(8, 0, "")));
  EXPECT_EQ(core.Wait().code, 0); // output complete once it has exited
  EXPECT_EQ(core.CountStdout("hidden-"), 0u);
}

TEST(Ipc, StopPacketStillHandlesPacketsBehindIt) {
  CoreLayout layout;
  layout.AddProbe("a.so", "id 0x10000\n");
  CoreProcess core(layout);
  core.Start();
  ASSERT_TRUE(Opened(layout, "a.so"));
  const auto behind = Packet(200, Address(1), "behind the stop");
  ASSERT_TRUE(core.Send(Join({Packet(8, 0, ""), behind})));
  const ExitStatus status = core.Wait();
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(status.code, 0);
  EXPECT_EQ(Delivered(layout, "a.so"), std::vector<std::string>{HexOf(behind)});
  const auto calls = layout.Calls("a.so");
  EXPECT_EQ(CallsOf(calls, "Close").size(), 1u);
  EXPECT_EQ(calls.back().rfind("Unload", 0), 0u);
  EXPECT_EQ(core.CountStdout(kDisconnected), 0u);
}

TEST(Ipc, DeliveryByIdWithLegacyFallback) {
  CoreLayout layout;
  layout.AddProbe("a.so", "id 0x10000\n");
  layout.AddProbe("l.so", "id 0x20000\n", "probe_legacy");
  layout.AddProbe("b.so", "id 0x30000\n", "probe_bare");
  layout.AddProbe("n.so", "", "probe");     // no id of its own: never addressed
  layout.AddProbe("h.so", "id 0x850000\n"); // the address's top id bit set
  CoreProcess core(layout);
  core.Start();
  ASSERT_TRUE(Opened(layout, "a.so"));
  ASSERT_TRUE(Opened(layout, "n.so"));
  ASSERT_TRUE(Opened(layout, "h.so"));

  const auto legacy = Packet(300, Address(2), "legacy");
  ASSERT_TRUE(core.Send(legacy));
  ASSERT_TRUE(core.Send(Packet(301, Address(3), "bare")));      // exports neither entry
  ASSERT_TRUE(core.Send(Packet(302, Address(0x42), "nobody"))); // no such id
  ASSERT_TRUE(core.Send(Packet(303, Address(0), "none")));      // id 0: n.so is skipped
  ASSERT_TRUE(core.Send(Packet(304, Address(0x85), "high")));   // all eight bits count
  Sync(core, layout, "last");
  EXPECT_EQ(Delivered(layout, "h.so").size(), 1u);
  EXPECT_EQ(Delivered(layout, "a.so").size(), 1u); // the sync packet only
  const auto ioctl = CallsOf(layout.Calls("l.so"), "IOCTL code=4");
  ASSERT_EQ(ioctl.size(), 1u);
  EXPECT_EQ(CallField(ioctl[0], "len"), std::to_string(legacy.size()));
  EXPECT_EQ(CallField(ioctl[0], "data"), HexOf(legacy));
  EXPECT_TRUE(Delivered(layout, "n.so").empty());
  EXPECT_TRUE(CallsOf(layout.Calls("n.so"), "IOCTL code=4").empty());

  core.Signal(SIGTERM);
  EXPECT_EQ(core.Wait().code, 0);
}

TEST(Ipc, PluginPacketsReachTheParentUnchanged) {
  CoreLayout layout;
  layout.AddProbe("a.so", "id 0x10000\ncontrol 1\n");
  CoreProcess core(layout);
  core.Start();
  ASSERT_TRUE(Opened(layout, "a.so"));
  ProbeControl probe(layout, "a.so");

  const auto first = Packet(400, Address(1), "first request");
  const auto second = Packet(401, Address(1), "second");
  EXPECT_EQ(probe.Command("post type=8192 hex=" + HexOf(first)), "ret=0");
  EXPECT_EQ(probe.Command("post type=8192 nulldata len=5"), "ret=0"); // nothing to send
  EXPECT_EQ(probe.Command("post type=8192 hex=" + HexOf(second)), "ret=0");
  EXPECT_EQ(core.Receive(10s), first);
  EXPECT_EQ(core.Receive(10s), second);

  // Longer than one send may carry: consecutive sends of at most 65536 bytes.
  std::vector<uint8_t> big(65536 + 4464);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 13 + 1);
  EXPECT_EQ(probe.Command("post type=8192 hex=" + HexOf(big)), "ret=0");
  const auto head = core.Receive(10s);
  const auto tail = core.Receive(10s);
  ASSERT_TRUE(head && tail);
  EXPECT_EQ(head->size(), 65536u);
  EXPECT_EQ(Join({*head, *tail}), big);

  core.Signal(SIGTERM);
  EXPECT_EQ(core.Wait().code, 0);
}

TEST(Ipc, ParentClosingItsEndStopsTheCoreAndRefusesPackets) {
  CoreLayout layout;
  // The probe holds its Close open so it can still post once the channel is gone.
  layout.AddProbe("a.so", "id 0x10000\ncontrol 1\nclose_wait_file go\n");
  CoreProcess core(layout);
  core.Start();
  ASSERT_TRUE(Opened(layout, "a.so"));
  ProbeControl probe(layout, "a.so");
  core.CloseParentEnd();
  ASSERT_TRUE(WaitUntil([&] { return !CallsOf(layout.Calls("a.so"), "Close").empty(); }, 20s));
  EXPECT_EQ(probe.Command("post type=8192 text=too-late"), "ret=1");
  layout.WriteFile("go", "");
  const ExitStatus status = core.Wait();
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(status.code, 0);
  EXPECT_EQ(core.CountStdout(kDisconnected), 1u);
}

TEST(Ipc, WithoutChannelPacketsAreRefused) {
  CoreLayout layout;
  layout.AddProbe("a.so", "id 0x10000\ncontrol 1\nclose_wait_file go\n");
  CoreProcess core(layout, {{}, false});
  core.Start();
  ASSERT_TRUE(Opened(layout, "a.so"));
  ProbeControl probe(layout, "a.so");
  EXPECT_EQ(probe.Command("post type=8192 text=nowhere"), "ret=1");
  layout.WriteFile("go", "");
  EXPECT_EQ(core.Wait().code, 0);
  EXPECT_EQ(core.CountStdout(kDisconnected), 1u);
}

TEST(Ipc, PacketsReachAPluginAfterCloseUntilUnload) {
  CoreLayout layout;
  // Close and unload go a.so, RuzUZ.so, z.so: z.so holds the core between
  // the two rounds, a.so holds it inside its own unload.
  layout.AddProbe("a.so", "id 0x10000\nunload_wait_file go-unload\n");
  layout.AddProbe("z.so", "id 0x20000\nclose_wait_file go-close\n");
  CoreProcess core(layout);
  core.Start();
  ASSERT_TRUE(Opened(layout, "a.so"));
  ASSERT_TRUE(Opened(layout, "z.so"));
  ASSERT_TRUE(core.Send(Packet(8, 0, "")));
  ASSERT_TRUE(WaitUntil([&] { return !CallsOf(layout.Calls("z.so"), "Close").empty(); }, 20s));

  const auto afterClose = Packet(500, Address(1), "after close");
  ASSERT_TRUE(core.Send(afterClose));
  ASSERT_TRUE(WaitUntil([&] { return Delivered(layout, "a.so").size() == 1; }));
  EXPECT_EQ(Delivered(layout, "a.so")[0], HexOf(afterClose));
  layout.WriteFile("go-close", "");

  ASSERT_TRUE(WaitUntil([&] { return !CallsOf(layout.Calls("a.so"), "Unload").empty(); }, 20s));
  ASSERT_TRUE(core.Send(Packet(501, Address(1), "after unload")));
  // The disconnect is handled after the packet sent before it.
  core.CloseParentEnd();
  ASSERT_TRUE(core.WaitForStdout(kDisconnected, 20s));
  layout.WriteFile("go-unload", "");
  EXPECT_EQ(core.Wait().code, 0);
  EXPECT_EQ(Delivered(layout, "a.so"), std::vector<std::string>{HexOf(afterClose)});
  // Delivered between its Close and its Unload.
  const auto calls = layout.Calls("a.so");
  size_t close = 0, ipc = 0, unload = 0;
  for (size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].rfind("Close", 0) == 0) close = i;
    if (calls[i].rfind("OnIpcResult", 0) == 0) ipc = i;
    if (calls[i].rfind("Unload", 0) == 0) unload = i;
  }
  EXPECT_LT(close, ipc);
  EXPECT_LT(ipc, unload);
}
