// Configuration and status documents end to end: "product.xml" and
// "core.xml" read at start, the status document as file and event, deltas.
#include <csignal>
#include <gtest/gtest.h>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "core_harness.h"

namespace {

const std::string kDefaulted = "\nConfig defaulted";

std::string Unhex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out += static_cast<char>(std::stoul(hex.substr(i, 2), nullptr, 16));
  return out;
}

// Runs the core without a parent: it starts fully, writes "core.xml" and stops.
std::string RunOnce(CoreLayout& layout) {
  CoreProcess core(layout, {{}, false});
  core.Start();
  const ExitStatus status = core.Wait(30s);
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(status.code, 0);
  return core.Stdout();
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Value of `name` in the first tag that starts with `tagStart`; "(none)" when absent.
std::string Attr(const std::string& xml, const std::string& tagStart, const std::string& name) {
  const size_t tag = xml.find(tagStart);
  if (tag == std::string::npos) return "(no tag)";
  const size_t end = xml.find('>', tag);
  const std::string inside = xml.substr(tag, end - tag);
  const size_t at = inside.find(" " + name + "=\"");
  if (at == std::string::npos) return "(none)";
  const size_t begin = at + name.size() + 3;
  return inside.substr(begin, inside.find('"', begin) - begin);
}

// Payloads of the core's configuration events as a probe received them.
std::vector<std::string> CoreConfigEvents(const CoreLayout& layout, const std::string& probe) {
  std::vector<std::string> texts;
  for (const auto& line : CallsOf(layout.Calls(probe), "OnEvent")) {
    if (CallField(line, "type") == "0x100" && CallField(line, "source") == "0x80000000")
      texts.push_back(Unhex(CallField(line, "data")));
  }
  return texts;
}

// Alarms from the probe with id 0x20000 (the core posts alarms of its own).
size_t MarkersSeen(const CoreLayout& layout, const std::string& probe) {
  size_t n = 0;
  for (const auto& line : CallsOf(layout.Calls(probe), "OnEvent"))
    n += CallField(line, "type") == "0x4" && CallField(line, "source") == "0x20000" ? 1 : 0;
  return n;
}

// Measured times vary from run to run.
std::string WithoutTimes(const std::string& xml) {
  static const std::regex times("(LoadTimeMs|OpenTimeMs)=\"[0-9]+\"");
  return std::regex_replace(xml, times, "$1=\"#\"");
}

std::string CoreXml(const std::string& memory, const std::string& plugins) {
  return "<?xml version=\"1.0\"?>\n<Varn>\n" + memory + "<Modules><Module ID=\"-2147483648\">" +
         plugins + "</Module></Modules>\n</Varn>\n";
}

std::string Delta(const std::string& head, const std::string& plugins) {
  return head + "<Module>" + plugins + "</Module></Modules></Varn>";
}

std::string Entry(const std::string& id, const std::string& level) {
  return "<Plugin ID=\"" + id + "\" LogLevel=\"" + level + "\"/>";
}

} // namespace

TEST(Documents, FirstStartWithoutFilesKeepsDefaults) {
  CoreLayout layout;
  const std::string out = RunOnce(layout);
  EXPECT_EQ(Count(out, "Config defaulted"), 1u);
  EXPECT_NE(out.find("\x1b[38;5;196m"), std::string::npos);
  EXPECT_NE(out.find("core\x1b[0m Failed to open core.xml - No such file or directory" +
                     kDefaulted + "\n"),
            std::string::npos)
      << out;
  const std::string xml = layout.ReadFile("core.xml");
  EXPECT_EQ(Attr(xml, "<Memory", "Throttling"), "1");
  EXPECT_EQ(Attr(xml, "<Module ID=\"-2147483648\"", "Version"), "26.1.3.0");
  EXPECT_EQ(LevelOf(xml, "-2147483648"), "-1");
  EXPECT_EQ(xml.find("Product"), std::string::npos);
  EXPECT_FALSE(layout.Exists("core.xml.pending"));
  // No parent identity: no "Library".
  EXPECT_EQ(xml.find("<Library"), std::string::npos);
}

TEST(Documents, ProductIdentity) {
  CoreLayout layout;
  layout.AddProbe("watch.so", "id 0x20000\naccept.config 0x2000000\n");
  struct Case {
    std::string product, family, version;
  };
  const std::vector<Case> cases = {
      {"<?xml version=\"1.0\"?><Any><Product Family=\"Acme &amp; Co\" Version=\"9.1\"/></Any>",
       "Acme &amp; Co", "9.1"},
      {"<?xml?><Root><Product Family=\"OnlyFamily\"/></Root>", "OnlyFamily", ""},
      {"<?xml?><Root><Inner><Product Family=\"Deep\" Version=\"1\"/></Inner></Root>", "Corvane",
       "26.1.3.0"},
      {"<?xml?><Root><Product Family=\"Broken\"", "Corvane", "26.1.3.0"},
      {" <?xml?><Root><Product Family=\"Space\"/></Root>", "Corvane", "26.1.3.0"},
  };
  for (const auto& c : cases) {
    fs::remove(layout.work / "watch.so.calls");
    layout.WriteFile("product.xml", c.product);
    const std::string out = RunOnce(layout);
    EXPECT_EQ(Count(out, "Config defaulted"), 1u); // core.xml is missing each time
    fs::remove(layout.work / "core.xml");
    const auto events = CoreConfigEvents(layout, "watch.so");
    ASSERT_FALSE(events.empty()) << c.product;
    EXPECT_NE(
        events.front().find("<Product Family=\"" + c.family + "\" Version=\"" + c.version + "\"/>"),
        std::string::npos)
        << events.front();
    EXPECT_EQ(Attr(events.front(), "<Module ID=\"-2147483648\"", "Version"), c.version);
  }
}

TEST(Documents, CoreSettingsAndRejectedFiles) {
  CoreLayout layout;
  auto throttlingAfter = [&](const std::string& coreXml, std::string* out = nullptr) {
    layout.WriteFile("core.xml", coreXml);
    const std::string text = RunOnce(layout);
    if (out) *out = text;
    return Attr(layout.ReadFile("core.xml"), "<Memory", "Throttling");
  };
  for (const std::string off : {"FALSE", "false", "False", "0"}) {
    std::string out;
    EXPECT_EQ(throttlingAfter(CoreXml("<Memory Throttling=\"" + off + "\"/>", ""), &out), "0")
        << off;
    EXPECT_EQ(Count(out, "Config defaulted"), 0u);
  }
  for (const std::string on : {"no", "off", "00", "", "1", "falsey"})
    EXPECT_EQ(throttlingAfter(CoreXml("<Memory Throttling=\"" + on + "\"/>", "")), "1") << on;
  EXPECT_EQ(throttlingAfter(CoreXml("<Memory Other=\"0\"/>", "")), "1");
  EXPECT_EQ(throttlingAfter(CoreXml("<Memory/>", "")), "1");
  EXPECT_EQ(throttlingAfter(CoreXml("", "")), "1");

  // Another root: nothing applied, nothing reported.
  std::string out;
  EXPECT_EQ(throttlingAfter("<?xml?><Other><Memory Throttling=\"0\"/></Other>", &out), "1");
  EXPECT_EQ(Count(out, "Config defaulted"), 0u);

  // Not XML text, or malformed: defaulted with the reason.
  const std::string off = "<Varn><Memory Throttling=\"0\"/></Varn>";
  for (const std::string prefix : {"\xEF\xBB\xBF", " ", "\n"}) {
    EXPECT_EQ(throttlingAfter(prefix + "<?xml?>" + off, &out), "1");
    EXPECT_NE(out.find("Failed - not xml content" + kDefaulted), std::string::npos) << out;
  }
  EXPECT_EQ(throttlingAfter("<?xml?><Varn><Memory Throttling=\"0\"/>", &out), "1");
  EXPECT_EQ(Count(out, kDefaulted), 1u);
}

TEST(Documents, LevelsFromCoreXml) {
  CoreLayout layout;
  for (int id : {1, 2, 3, 4, 5, 7})
    layout.AddProbe("p" + std::to_string(id) + ".so", "id " + std::to_string(id << 16) + "\n");
  layout.WriteFile("core.xml", "<?xml?><Varn><Memory Throttling=\"0\"/><Modules><Module>" +
                                   Entry("-2147483648", "10") + Entry("2147483648", "50") +
                                   Entry("131072", "250") + Entry("196608", "-7") +
                                   Entry("262144", "abc") + Entry("327680", "30x") +
                                   Entry("65536", "40") +
                                   "<Plugin ID=\"458752\"/></Module><Other/><Module>" +
                                   Entry("458752", "60") + "</Module></Modules></Varn>");
  RunOnce(layout);
  const std::string xml = layout.ReadFile("core.xml");
  EXPECT_EQ(LevelOf(xml, "-2147483648"), "10");
  EXPECT_EQ(LevelOf(xml, "65536"), "-1");
  EXPECT_EQ(LevelOf(xml, "131072"), "100");
  EXPECT_EQ(LevelOf(xml, "196608"), "-1");
  EXPECT_EQ(LevelOf(xml, "262144"), "-1");
  EXPECT_EQ(LevelOf(xml, "327680"), "30");
  EXPECT_EQ(LevelOf(xml, "458752"), "60");
  EXPECT_EQ(Attr(xml, "<Memory", "Throttling"), "0");

  // The next run reads back what this one wrote.
  RunOnce(layout);
  EXPECT_EQ(WithoutTimes(layout.ReadFile("core.xml")), WithoutTimes(xml));
}

TEST(Documents, PendingFileAdoptedOrDiscarded) {
  CoreLayout layout;
  const std::string on = CoreXml("<Memory Throttling=\"1\"/>", "");
  const std::string off = CoreXml("<Memory Throttling=\"0\"/>", "");

  layout.WriteFile("core.xml", on);
  layout.WriteFile("core.xml.pending", off);
  std::string out = RunOnce(layout);
  EXPECT_EQ(Count(out, kDefaulted), 0u);
  EXPECT_EQ(Attr(layout.ReadFile("core.xml"), "<Memory", "Throttling"), "0");
  EXPECT_FALSE(layout.Exists("core.xml.pending"));

  for (const std::string broken : {"", "<?xml?><Varn><Memory Throttling=\"1\"", "junk"}) {
    layout.WriteFile("core.xml", off);
    layout.WriteFile("core.xml.pending", broken);
    out = RunOnce(layout);
    EXPECT_EQ(Count(out, kDefaulted), 0u);
    EXPECT_EQ(Attr(layout.ReadFile("core.xml"), "<Memory", "Throttling"), "0") << broken;
    EXPECT_FALSE(layout.Exists("core.xml.pending"));
  }

  // "product.xml" resolves its pending file the same way.
  layout.AddProbe("watch.so", "id 0x20000\naccept.config 0x2000000\n");
  layout.WriteFile("product.xml", "<?xml?><P><Product Family=\"Old\" Version=\"1\"/></P>");
  layout.WriteFile("product.xml.pending", "<?xml?><P><Product Family=\"New\" Version=\"2\"/></P>");
  RunOnce(layout);
  EXPECT_EQ(layout.ReadFile("product.xml"),
            "<?xml?><P><Product Family=\"New\" Version=\"2\"/></P>");
  EXPECT_FALSE(layout.Exists("product.xml.pending"));
  const auto events = CoreConfigEvents(layout, "watch.so");
  ASSERT_FALSE(events.empty());
  EXPECT_NE(events.front().find("<Product Family=\"New\" Version=\"2\"/>"), std::string::npos);
}

// The whole file for a known setup: two loaded probes, two failed plug-ins,
// the logging plug-in and a parent identity with a version.
TEST(Documents, ExactStatusFileAndEvent) {
  CoreLayout layout;
  layout.AddProbe("alpha.so", "id 0x20000\ncontrol 1\nload_ms 0\nopen_ms 0\n");
  layout.AddProbe("beta.so", "id 0x30000\naccept.config 0x2000000\n");
  layout.AddProbe("gamma.so", "", "probe_noload");
  layout.WriteFile("../bin/plugins/broken.so", std::string(200, 'x'));

  CoreProcess core(layout);
  core.Start();
  ASSERT_TRUE(core.Send(Packet(7, 0,
                               std::string("corvaned\0"
                                           "9.8.7\0",
                                           15))));
  ASSERT_TRUE(WaitUntil([&] { return layout.Exists("core.xml"); }, 20s));
  ASSERT_TRUE(WaitUntil([&] { return CoreConfigEvents(layout, "beta.so").size() == 1; }, 20s));

  // A level change republishes, now with the parent identity in place.
  const std::string delta =
      Delta("<?xml?><Varn><Modules Delta=\"1\">", Entry("131072", "25") + Entry("196608", "-1"));
  EXPECT_EQ(
      ProbeControl(layout, "alpha.so").Command("post type=256 flags=0x1000010 hex=" + HexOf(delta)),
      "ret=0");
  ASSERT_TRUE(WaitUntil([&] { return CoreConfigEvents(layout, "beta.so").size() == 2; }, 20s));
  ASSERT_TRUE(WaitUntil(
      [&] { return layout.ReadFile("core.xml").find("LogLevel=\"25\"") != std::string::npos; },
      20s));
  core.Signal(SIGTERM);
  EXPECT_EQ(core.Wait(30s).code, 0);

  const std::string file = layout.ReadFile("core.xml");
  const std::string brokenPath = (fs::canonical(layout.bin) / "plugins" / "broken.so").string();
  const std::string plugin = "\t\t\t<Plugin ID=\"";
  const std::string tail = "\" LogLevelDefault=\"-1\"/>\n";
  const std::string expected =
      "<?xml?>\n"
      "<Varn>\n"
      "\t<Memory ID=\"-2147483648\" Throttling=\"1\"/>\n"
      "\t<Modules TotalLoadTimeMs=\"#\" TotalOpenTimeMs=\"#\">\n"
      "\t\t<Module ID=\"-2147483648\" Name=\"Core\" Version=\"26.1.3.0\">\n" +
      plugin + "-2147483648\" Filename=\"corvane-core\" Opened=\"1\" LoadTimeMs=\"#\" " +
      "OpenTimeMs=\"#\" OpenCode=\"0\" LogLevel=\"-1" + tail + plugin +
      "131072\" Filename=\"alpha.so\" Opened=\"1\" LoadTimeMs=\"#\" OpenTimeMs=\"#\" " +
      "OpenCode=\"0\" LogLevel=\"25" + tail + plugin +
      "196608\" Filename=\"beta.so\" Opened=\"1\" LoadTimeMs=\"#\" OpenTimeMs=\"#\" " +
      "OpenCode=\"0\" LogLevel=\"-1" + tail + plugin +
      "65536\" Filename=\"RuzUZ.so\" Opened=\"1\" LoadTimeMs=\"#\" OpenTimeMs=\"#\" " +
      "OpenCode=\"0\" LogLevel=\"-1" + tail +
      "\t\t\t<Library Name=\"corvaned\" Filename=\"corvaned\" Version=\"9.8.7\"/>\n" + plugin +
      "1\" Filename=\"broken.so\" Opened=\"1\" LoadTimeMs=\"#\" OpenTimeMs=\"#\" " +
      "OpenCode=\"79\" LogLevel=\"-1" + tail + plugin +
      "2\" Filename=\"gamma.so\" Opened=\"1\" LoadTimeMs=\"#\" OpenTimeMs=\"#\" " +
      "OpenCode=\"-101\" LogLevel=\"-1" + tail +
      "\t\t</Module>\n"
      "\t\t<Module ID=\"1\" Name=\"broken\" Version=\"" +
      brokenPath +
      ": invalid ELF header\"/>\n"
      "\t\t<Module ID=\"2\" Name=\"gamma\" Version=\"missing Load()/Unload()\"/>\n"
      "\t</Modules>\n"
      "</Varn>\n"
      "\n";
  // Only the measured times vary; they are checked below.
  EXPECT_EQ(WithoutTimes(file), expected);

  // The core's and the failed entries report no time; totals add the loaded ones.
  const std::regex entry("<Plugin ID=\"(-?[0-9]+)\" Filename=\"([^\"]+)\" Opened=\"1\" "
                         "LoadTimeMs=\"([0-9]+)\" OpenTimeMs=\"([0-9]+)\"");
  long loadSum = 0, openSum = 0;
  for (auto it = std::sregex_iterator(file.begin(), file.end(), entry);
       it != std::sregex_iterator(); ++it) {
    const std::string name = (*it)[2];
    if (name == "corvane-core" || name == "broken.so" || name == "gamma.so") {
      EXPECT_EQ((*it)[3], "0") << name;
      EXPECT_EQ((*it)[4], "0") << name;
    }
    loadSum += std::stol((*it)[3]);
    openSum += std::stol((*it)[4]);
  }
  EXPECT_EQ(Attr(file, "<Modules", "TotalLoadTimeMs"), std::to_string(loadSum));
  EXPECT_EQ(Attr(file, "<Modules", "TotalOpenTimeMs"), std::to_string(openSum));

  // The event a plug-in saw: the same document, flat, with the product identity.
  const auto events = CoreConfigEvents(layout, "beta.so");
  ASSERT_EQ(events.size(), 2u);
  std::string flat;
  for (char c : file)
    if (c != '\t' && c != '\n') flat += c;
  flat.insert(flat.rfind("</Varn>"), "<Product Family=\"Corvane\" Version=\"26.1.3.0\"/>");
  EXPECT_EQ(events.back(), flat);
  for (const auto& line : CallsOf(layout.Calls("beta.so"), "OnEvent")) {
    if (CallField(line, "source") == "0x80000000" && CallField(line, "type") == "0x100") {
      EXPECT_EQ(CallField(line, "flags"), "0x1000010");
      EXPECT_EQ(CallField(line, "level"), "0"); // not echoed to a source
    }
  }
  EXPECT_EQ(file.find("Product"), std::string::npos);
}

TEST(Documents, DeltaRepublishesOnlyOnChangeAndInItsWindows) {
  CoreLayout layout;
  layout.AddProbe("alpha.so", "id 0x20000\ncontrol 1\n");
  layout.AddProbe("beta.so", "id 0x50000\naccept.config 0x2000000\naccept.alarm 0x2000000\n");
  CoreProcess core(layout);
  core.Start();
  ASSERT_TRUE(WaitUntil([&] { return CoreConfigEvents(layout, "beta.so").size() == 1; }, 20s));
  // The probe serves one connection at a time until it closes, so Unload
  // waits for it: the connection goes before the core is stopped.
  auto alpha = std::make_unique<ProbeControl>(layout, "alpha.so");

  // Posts a config record, then an alarm as a marker: once beta has the
  // marker, any republish the record caused has reached beta too.
  size_t markers = 0;
  auto post = [&](const std::string& text, const std::string& flags = "0x1000010") {
    EXPECT_EQ(alpha->Command("post type=256 flags=" + flags + " hex=" + HexOf(text)), "ret=0");
    EXPECT_EQ(alpha->Command("post type=4 text=marker"), "ret=0");
    ++markers;
    EXPECT_TRUE(WaitUntil([&] { return MarkersSeen(layout, "beta.so") == markers; }, 20s));
    return CoreConfigEvents(layout, "beta.so").size();
  };
  auto level = [&] { return LevelOf(layout.ReadFile("core.xml"), "327680"); };

  const std::string head = "<?xml?><Varn><Modules Delta=\"1\">";
  EXPECT_EQ(level(), "-1");
  EXPECT_EQ(post(Delta(head, Entry("327680", "25"))), 2u);
  EXPECT_EQ(level(), "25");
  EXPECT_NE(CoreConfigEvents(layout, "beta.so").back().find("ID=\"327680\" Filename=\"beta.so\""),
            std::string::npos);
  EXPECT_EQ(post(Delta(head, Entry("327680", "25"))), 2u); // same again: nothing
  EXPECT_EQ(post(Delta(head, Entry("327680", "250"))), 3u);
  EXPECT_EQ(post(Delta(head, Entry("327680", "100"))), 3u);
  EXPECT_EQ(level(), "100");

  // An id no entry shows, ids 0 and 1, a parse error, no 0x10 flag: nothing.
  EXPECT_EQ(post(Delta(head, Entry("655360", "5") + Entry("65536", "5") + Entry("7", "5"))), 3u);
  EXPECT_EQ(post(Delta(head, Entry("327680", "5")) + "<"), 3u);
  EXPECT_EQ(post(Delta(head, Entry("327680", "5")), "0x1000000"), 3u);
  EXPECT_EQ(level(), "100");

  // "Delta" must start at 13..104, "<Modules" at 0..32.
  const std::string pad12 = "<Varn       Delta=\"1\"><Modules>";
  ASSERT_EQ(pad12.find("Delta"), 12u);
  EXPECT_EQ(post(Delta(pad12, Entry("327680", "12"))), 3u);
  EXPECT_EQ(post(Delta("<Varn        Delta=\"1\"><Modules>", Entry("327680", "13"))), 4u);
  EXPECT_EQ(level(), "13");

  const std::string at33 = "<?xml?><Varn" + std::string(20, ' ') + "><Modules Delta=\"1\">";
  ASSERT_EQ(at33.find("<Modules"), 33u);
  EXPECT_EQ(post(Delta(at33, Entry("327680", "33"))), 4u);
  EXPECT_EQ(post(Delta("<?xml?><Varn" + std::string(19, ' ') + "><Modules Delta=\"1\">",
                       Entry("327680", "32"))),
            5u);
  EXPECT_EQ(level(), "32");

  const std::string at105 = "<?xml?><Varn><Modules" + std::string(84, ' ') + "Delta=\"1\">";
  ASSERT_EQ(at105.find("Delta"), 105u);
  EXPECT_EQ(post(Delta(at105, Entry("327680", "1"))), 5u);
  EXPECT_EQ(post(Delta("<?xml?><Varn><Modules" + std::string(83, ' ') + "Delta=\"1\">",
                       Entry("327680", "2"))),
            6u);
  EXPECT_EQ(level(), "2");

  alpha.reset();
  core.Signal(SIGTERM);
  EXPECT_EQ(core.Wait(30s).code, 0);

  // The next run starts with the levels this one stored.
  const std::string stored = layout.ReadFile("core.xml");
  CoreProcess again(layout, {{}, false});
  again.Start();
  EXPECT_EQ(again.Wait(30s).code, 0);
  EXPECT_EQ(LevelOf(layout.ReadFile("core.xml"), "327680"), "2");
  EXPECT_EQ(WithoutTimes(layout.ReadFile("core.xml")), WithoutTimes(stored));
}

TEST(Documents, RefusedStatusWriteIsLoggedAndCoreRuns) {
  CoreLayout layout;
  layout.AddProbe("alpha.so", "id 0x20000\ncontrol 1\n");
  layout.AddProbe("beta.so", "id 0x30000\naccept.alarm 0x2000000\n");
  // "core.xml" is a directory: reading it fails, and so does replacing it.
  fs::create_directories(layout.work / "core.xml" / "keep");
  CoreProcess core(layout);
  core.Start();
  ASSERT_TRUE(core.WaitForStdout("Failed to rename core.xml.pending - Is a directory", 20s))
      << core.Stdout();
  EXPECT_NE(core.Stdout().find("Failed to read core.xml - Is a directory" + kDefaulted),
            std::string::npos);
  EXPECT_NE(core.Stdout().find("\x1b[38;5;196m"), std::string::npos);
  EXPECT_TRUE(fs::is_directory(layout.work / "core.xml" / "keep"));

  EXPECT_EQ(ProbeControl(layout, "alpha.so").Command("post type=4 text=still-running"), "ret=0");
  EXPECT_TRUE(WaitUntil([&] { return MarkersSeen(layout, "beta.so") == 1; }, 20s));
  core.Signal(SIGTERM);
  EXPECT_EQ(core.Wait(30s).code, 0);

  // A pending path that cannot be opened: the open failure names it.
  fs::remove_all(layout.work / "core.xml");
  fs::remove_all(layout.work / "core.xml.pending");
  fs::create_directories(layout.work / "core.xml.pending" / "keep");
  CoreProcess second(layout, {{}, false});
  second.Start();
  EXPECT_EQ(second.Wait(30s).code, 0);
  EXPECT_NE(second.Stdout().find("Failed to open core.xml.pending - Is a directory"),
            std::string::npos)
      << second.Stdout();
  EXPECT_FALSE(layout.Exists("core.xml"));
}
