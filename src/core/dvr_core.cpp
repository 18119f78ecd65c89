#include "core/dvr_core.h"

#include <boost/asio/post.hpp>
#include <csignal>
#include <filesystem>

#include "core/process_identity.h"
#include "events/reference_block.h"
#include "log/core_log.h"
#include "util/host_identifier.h"

DvrCore* g_core = nullptr;

DvrCore::DvrCore(std::string executable)
    : executablePath(std::move(executable)), ipc(*this, io), search(*this), memory(*this),
      timer_(io, std::chrono::steady_clock::time_point{}) {}

bool DvrCore::Init(uint32_t descriptor) {
  hostId = ObtainHostIdentifier();
  if (!EstablishIdentity()) return false;
  if (descriptor != 0xFFFFFFFFu && !ipc.Adopt(descriptor)) {
    LogCritical("failed to open ipc pipe");
    return false;
  }
  const auto loggingPath =
      std::filesystem::path(executablePath).parent_path() / "plugins" / "RuzUZ.so";
  plugins.logging = Plugin::Load(loggingPath.string(), &PostEventCallback, hostId);
  plugins.logging->Open();
  return true;
}

void DvrCore::Run() {
  signals_.emplace(io, SIGINT, SIGTERM, SIGQUIT);
  signals_->async_wait([this](const boost::system::error_code&, int) { RequestStop(); });

  ReadConfiguration();
  ReportStartupStatus(hostId);
  if (memory.ThrottlingEnabled()) memory.SendMemoryEvent();

  // Keeps run() alive between handlers; dropped when the core shuts down.
  auto work = boost::asio::make_work_guard(io);
  ioThread_ = std::thread([this] { io.run(); });

  ArmTimer(std::chrono::steady_clock::time_point{});
  ipc.StartReceive();

  LoadPlugins();
  OpenPlugins();
  PublishStatus();

  DispatchLoop();

  ClosePlugins();
  UnloadPlugins();

  work.reset();
  io.stop();
  if (ioThread_.joinable()) ioThread_.join();
  signals_.reset();
}

void DvrCore::RequestStop() {
  stopping_.exchange(1, std::memory_order_acq_rel);
  if (timerPending_.exchange(false)) {
    // The timer belongs to the I/O thread; cancel it there.
    boost::asio::post(io, [this] { timer_.cancel(); });
  }
  search.WakeAll();
  queue.Wake();
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
  // Search threads are detached, yet they reach this object (the handler,
  // the post callback through g_core) and may run the late close and unload
  // of an id-8 plug-in that posts while closing; let the last one end first.
  search.WaitForSearches();
  ReportLeakedReferences();
  // Members go in reverse order of declaration: the timer and signals before
  // the I/O context, the plug-in lists (closing and unloading what is left)
  // after the queue.
  signals_.reset();
  timer_.cancel();
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

uint32_t PostEventCallback(rk::core::EventParms* record) {
  if (record->data == nullptr) record->length = 0;
  DvrCore* core = g_core;
  if (core == nullptr) return RK_POST_REFUSED;
  return core->EventEntry(*record);
}
