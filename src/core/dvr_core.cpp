#include "core/dvr_core.h"

#include <boost/asio/post.hpp>
#include <csignal>
#include <filesystem>

#include "config/config_delta.h"
#include "config/file_store.h"
#include "config/status_document.h"
#include "core/process_identity.h"
#include "events/reference_block.h"
#include "log/core_log.h"
#include "monitor/statistics.h"
#include "util/host_identifier.h"

namespace corvane {

using namespace rk::core;

namespace {

constexpr const char* kTapSocket = "tap.sock";

std::string DirectoryOf(const std::string& path) {
  return std::filesystem::path(path).parent_path().string();
}

} // namespace

DvrCore::DvrCore(std::string executable)
    : executablePath(std::move(executable)),
      ipc(io, plugins, log, counters, [this] { RequestStop(); }),
      search(plugins, counters, stopping_),
      memory([this](const EventParms& record) { return entry.QueueEvent(record); }),
      entry({log, plugins, bus, search, ipc, memory, counters, hostId, stopping_, &warnings}),
      pluginSet(plugins, log, &PostEventCallback, DirectoryOf(executablePath), hostId),
      tap([](int32_t level, const std::string& text) { LogText(level, text.data(), text.size()); }),
      timer_(io, std::chrono::steady_clock::time_point{}) {
  bus.OnBlockFreed(
      [](void* context, const void* block) {
        static_cast<SearchHandler*>(context)->BlockFreed(block);
      },
      &search);
  InstallLogSink(&entry);
  EventEntry::Install(&entry);
}

bool DvrCore::Init(uint32_t descriptor) {
  // The script runs while the process takes its identity and maps the
  // plug-in files; every Load gets the identifier, so it is awaited before
  // the first.
  HostIdentifierQuery hostQuery;
  if (!EstablishIdentity()) return false;
  if (descriptor != 0xFFFFFFFFu && !ipc.Adopt(descriptor)) {
    LogCritical("failed to open ipc pipe");
    return false;
  }
  pluginSet.Preload();
  hostId = hostQuery.Result();
  pluginSet.StartLogging();
  return true;
}

void DvrCore::Run() {
  StartServices();
  StartIo();
  LoadAndOpenPlugins();
  PublishStatus();
  DispatchLoop();
  CloseAndUnloadPlugins();
  StopIo();
}

void DvrCore::StartServices() {
  signals_.emplace(io, SIGINT, SIGTERM, SIGQUIT);
  signals_->async_wait([this](const boost::system::error_code&, int) { RequestStop(); });
  settings = ReadCoreSettings(settings, log);
  memory.SetThrottlingEnabled(settings.throttling);
  if (hostId.find(kFallbackHostId) != std::string::npos) LogWarning("Startup status: code D");
  if (memory.ThrottlingEnabled()) memory.SendMemoryEvent();
}

void DvrCore::StartIo() {
  // Keeps run() alive between handlers; dropped by StopIo.
  if (settings.httpListen) {
    endpoint_ = std::make_unique<StatusEndpoint>(
        io, StatusEndpoint::Sources{log, plugins, counters, bus, ipc, memory, warnings, stopping_,
                                    settings.version});
  }
  work_.emplace(boost::asio::make_work_guard(io));
  ioThread_ = std::thread([this] { io.run(); });
  ArmTimer(std::chrono::steady_clock::time_point{});
  ipc.StartReceive();
  tap.Start(kTapSocket);
}

void DvrCore::LoadAndOpenPlugins() {
  pluginSet.LoadAll();
  pluginSet.OpenAll();
  NarrowCapabilities();
  if (endpoint_) {
    // Plug-ins are open and their fields settled: the routes may read them.
    endpoint_->AttachSamplers(plugins.loaded);
    boost::asio::post(io, [this] { endpoint_->Start(*settings.httpListen); });
  }
}

void DvrCore::DispatchLoop() {
  ReportState report;
  report.lastReport = memory.Environment().SteadyNow() - std::chrono::seconds(60);
  RunDispatchLoop(bus, plugins.loaded, *this, report, stopping_, counters.totals, &tap);
}

void DvrCore::CloseAndUnloadPlugins() {
  pluginSet.CloseAll();
  pluginSet.UnloadAll();
}

void DvrCore::StopIo() {
  tap.Stop();
  work_.reset();
  io.stop();
  if (ioThread_.joinable()) ioThread_.join();
  if (endpoint_) endpoint_->Stop();
  signals_.reset();
}

void DvrCore::PublishStatus() {
  StatusDocument status;
  status.throttling = memory.ThrottlingEnabled();
  status.version = settings.version;
  status.productName = settings.productName;
  status.executableName = std::filesystem::path(executablePath).filename().string();
  status.coreLogLevel = log.Stored(kIdCore);
  for (const auto& plugin : plugins.loaded) {
    status.loaded.push_back({plugin->IdWord(), plugin->fileName, plugin->loadTimeNs,
                             plugin->openTimeNs, plugin->openCode, log.Stored(plugin->Id())});
  }
  for (const auto& plugin : plugins.failed)
    status.failed.push_back({plugin->fileName, plugin->loadCode, plugin->errorText});
  std::tie(status.parentFileName, status.parentVersion) = ipc.ParentTexts();
  status.httpListen = settings.httpListen;
  const StatusTexts texts = PrintStatusDocument(status);

  EventParms event;
  InitEvent(event);
  event.type = RK_TYPE_CONFIG;
  event.flags = kLiveXml;
  event.source = kIdNone;
  event.length = static_cast<uint32_t>(texts.event.size());
  event.data = texts.event.data();
  (void)entry.QueueEvent(event);

  // The file is written while posters wait, so that the document on disk is
  // never older than the event every plug-in sees.
  try {
    EventQueue::PostersHeld hold(bus.Queue());
    WriteXmlFile("core.xml", texts.file.data(), texts.file.size());
  } catch (const std::runtime_error& error) {
    // Logged after the hold is gone: a log line is itself a post.
    LogError("{}", error.what());
  }
}

void DvrCore::BeforeDelivery(const EventParms& record) {
  if (Stopping() || !IsConfigDelta(record)) return;
  // Republish only when a level the document shows has changed: a delta for
  // an index no entry shows still sets that index's threshold.
  auto shownLevels = [this] {
    std::vector<int32_t> levels{log.Stored(kIdCore)};
    for (const auto& plugin : plugins.loaded) levels.push_back(log.Stored(plugin->Id()));
    return levels;
  };
  const auto before = shownLevels();
  if (ApplyConfigDelta(record, log) && shownLevels() != before) PublishStatus();
}

void DvrCore::AfterTake(DispatchStats& stats) {
  // DispatchLoop hands the loop its ReportState.
  ReportStatistics({counters, memory, log, plugins.loaded}, static_cast<ReportState&>(stats));
}

void DvrCore::RequestStop() {
  stopping_.exchange(1, std::memory_order_acq_rel);
  if (timerPending_.exchange(false)) {
    // The timer belongs to the I/O thread; cancel it there.
    boost::asio::post(io, [this] { timer_.cancel(); });
  }
  search.WakeAll();
  bus.Queue().Wake();
}

void DvrCore::ArmTimer(std::chrono::steady_clock::time_point expiry) {
  timer_.cancel();
  timer_.expires_at(expiry);
  timerPending_.store(true);
  timer_.async_wait([this](const boost::system::error_code& error) { OnTimer(error); });
}

void DvrCore::OnTimer(const boost::system::error_code& error) {
  if (error || Stopping()) return;
  memory.Tick();
  const auto now = std::chrono::steady_clock::now();
  const auto period = std::chrono::milliseconds(250);
  const auto expiry = now > std::chrono::steady_clock::time_point::max() - period
                          ? std::chrono::steady_clock::time_point::max()
                          : now + period;
  ArmTimer(expiry);
}

DvrCore::~DvrCore() {
  // Search threads are detached, yet they reach the modules (the handler,
  // the entry through the post callback) and may run the late close and
  // unload of an id-8 plug-in that posts while closing; let the last one end
  // first.
  search.WaitForSearches();
  ReportLeakedReferences();
  signals_.reset();
  timer_.cancel();
  // A core that never ran still holds plug-ins; they close and unload while
  // every module they may post to is alive.
  plugins.loaded.clear();
  plugins.failed.clear();
  plugins.logging.reset();
  plugins.Publish();
  EventEntry::Install(nullptr);
  InstallLogSink(nullptr);
}

void DvrCore::ReportLeakedReferences() {
  RefAccounting& refs = RefCounts();
  const uint32_t live = refs.liveBlocks.load();
  if (live == 0) return;
  LogDebug("refblks: {:L}({:L})", live, refs.liveBytes.load());
  for (uint32_t index = 0; index < 256; ++index) {
    const uint64_t held = refs.held[index].load();
    if (held == 0) continue;
    std::string name = log.NameOf(index);
    if (name.empty()) name = "unknown";
    LogDebug("Plugin {:02x}:{} unloaded holding {:L} event reference(s).", index, name, held);
  }
}

} // namespace corvane
