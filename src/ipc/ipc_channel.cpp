#include "ipc/ipc_channel.h"

#include <algorithm>
#include <boost/asio/post.hpp>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <sys/socket.h>
#include <sys/uio.h>

#include "log/core_log.h"
#include "log/logger.h"

namespace corvane {

using namespace rk::core;

IpcChannel::IpcChannel(boost::asio::io_context& io, const PluginRegistry& plugins, Logger& log,
                       CoreCounters& counters, std::function<void()> requestStop)
    : io_(io), plugins_(plugins), log_(log), counters_(counters),
      requestStop_(std::move(requestStop)), socket_(io) {}

IpcChannel::~IpcChannel() {
  // The I/O thread is gone by now; closing first means no operation can still
  // be looking at a queued buffer when the queue releases it.
  boost::system::error_code ignored;
  socket_.close(ignored);
  sendQueue_.clear();
}

bool IpcChannel::Adopt(uint32_t descriptor) {
  // A descriptor that is open but no socket is adopted all the same: its
  // first receive fails and the core stops as when the parent goes away.
  receiveBuffer_.reset(static_cast<uint8_t*>(std::malloc(kMaxPacket)));
  if (!receiveBuffer_) return false;
  boost::system::error_code error;
  socket_.assign(boost::asio::generic::seq_packet_protocol(AF_UNIX, 0),
                 static_cast<int>(descriptor), error);
  if (error) return false;
  fill_ = 0;
  open_.store(true, std::memory_order_release);
  return true;
}

void IpcChannel::StartReceive() {
  // The socket is the I/O thread's from here on.
  boost::asio::post(io_, [this] { Receive(); });
}

void IpcChannel::Receive() {
  if (!socket_.is_open()) {
    OnIpcRead(boost::asio::error::bad_descriptor, 0);
    return;
  }
  socket_.async_receive(
      boost::asio::buffer(receiveBuffer_.get() + fill_, kMaxPacket - fill_), receiveFlags_,
      [this](const boost::system::error_code& error, size_t bytes) { OnIpcRead(error, bytes); });
}

void IpcChannel::OnIpcRead(const boost::system::error_code& error, size_t bytes) {
  if (error || bytes == 0) {
    Disconnect();
    return;
  }
  fill_ += bytes;
  ConsumePackets();
  Receive();
}

void IpcChannel::ConsumePackets() {
  uint8_t* buffer = receiveBuffer_.get();
  while (fill_ >= kIpcHeaderSize) {
    const uint32_t length = ReadIpcHeader(buffer).length;
    // Judged as soon as the header is in: a length that can never complete
    // (too long for the buffer, or too short to be consumed) would otherwise
    // stall the channel for good.
    if (length < kIpcHeaderSize || length > kMaxPacket) {
      LogWarning("bad ipc packet length");
      fill_ = 0;
      return;
    }
    if (length > fill_) return; // the rest is still to come
    TotalCounters::Add(counters_.totals.ipcReceived);
    HandlePacket(buffer, length);
    fill_ -= length;
    if (fill_ != 0) std::memmove(buffer, buffer + length, fill_);
  }
}

void IpcChannel::HandlePacket(const uint8_t* packet, uint32_t length) {
  switch (ReadIpcHeader(packet).kind) {
  case RK_IPC_KIND_PARENT_IDENTITY:
    ParentIdentity(packet, length);
    break;
  case RK_IPC_KIND_STOP:
    requestStop_();
    break;
  default:
    DeliverToPlugin(packet, length);
    break;
  }
}

void IpcChannel::ParentIdentity(const uint8_t* packet, uint32_t length) {
  if (length <= kIpcHeaderSize) return;
  const char* payload = reinterpret_cast<const char*>(packet + kIpcHeaderSize);
  const size_t size = length - kIpcHeaderSize;
  // Fields end at a NUL or at the payload's end; a trailing NUL adds no field.
  std::string_view fields[3];
  size_t count = 0;
  for (size_t at = 0; at < size && count < 3;) {
    const void* nul = std::memchr(payload + at, 0, size - at);
    const size_t end =
        nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - payload) : size;
    fields[count++] = std::string_view(payload + at, end - at);
    at = end + 1;
  }
  if (count >= 3 && fields[2] == std::string_view("Background:true")) log_.SetConsoleOff();
  std::lock_guard lock(parentMutex_);
  if (count >= 2) parentVersion_.assign(fields[1]);
  parentFileName_.assign(fields[0]);
}

void IpcChannel::DeliverToPlugin(const uint8_t* packet, uint32_t length) {
  const uint32_t target = IpcTarget(ReadIpcHeader(packet).address);
  const auto loaded = plugins_.Snapshot();
  for (const auto& plugin : *loaded) {
    if (plugin->IdWord() == kIdNone) continue;
    if (plugin->Id() != target) continue;
    plugin->DeliverIpc(packet, length);
    CoreCounters::Add(counters_.ipcDelivered);
    CoreCounters::Add(counters_.ipcDeliveredBytes, length);
    return;
  }
  TotalCounters::Add(counters_.totals.ipcDropped); // no such plug-in
}

uint32_t IpcChannel::Forward(const void* data, uint32_t length) {
  if (!HasChannel()) {
    TotalCounters::Add(counters_.totals.ipcDropped);
    return 1;
  }
  // Copied here so the plug-in may reuse its buffer as soon as we return.
  Buffer copy(static_cast<uint8_t*>(std::malloc(std::max<uint32_t>(length, 1))));
  if (!copy) return 1;
  if (length != 0) std::memcpy(copy.get(), data, length);
  CoreCounters::Add(counters_.ipcForwarded);
  bool post = false;
  {
    std::lock_guard lock(pendingMutex_);
    pending_.push_back(Outgoing{std::move(copy), length, 0});
    post = !std::exchange(flushPosted_, true);
  }
  if (post) boost::asio::post(io_, [this] { Flush(); });
  return 0;
}

void IpcChannel::Flush() {
  {
    std::lock_guard lock(pendingMutex_);
    for (auto& outgoing : pending_) sendQueue_.push_back(std::move(outgoing));
    pending_.clear();
    flushPosted_ = false;
  }
  if (!waitingWritable_) SendQueued();
}

void IpcChannel::SendQueued() {
  constexpr size_t kBatch = 64;
  if (!socket_.is_open()) return; // the queue keeps its entries until destruction
  const int fd = socket_.native_handle();
  mmsghdr messages[kBatch];
  iovec parts[kBatch];
  for (;;) {
    // An empty packet would read as end of stream on the other side: nothing to send.
    while (!sendQueue_.empty() && sendQueue_.front().length == 0) sendQueue_.pop_front();
    if (sendQueue_.empty()) return;
    // One message per packet, each at most kMaxPacket; a longer one goes out
    // a chunk per message and ends its pass.
    size_t count = 0;
    for (auto it = sendQueue_.begin(); it != sendQueue_.end() && count < kBatch; ++it) {
      if (it->length == 0) break;
      const size_t chunk = std::min<size_t>(it->length - it->sent, kMaxPacket);
      parts[count] = iovec{it->bytes.get() + it->sent, chunk};
      messages[count] = mmsghdr{};
      messages[count].msg_hdr.msg_iov = &parts[count];
      messages[count].msg_hdr.msg_iovlen = 1;
      ++count;
      if (it->sent + chunk < it->length) break;
    }
    const int sent =
        ::sendmmsg(fd, messages, static_cast<unsigned>(count), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        waitingWritable_ = true;
        socket_.async_wait(boost::asio::socket_base::wait_write,
                           [this](const boost::system::error_code& error) {
                             waitingWritable_ = false;
                             if (!error) SendQueued();
                           });
        return;
      }
      // Lost: a failed send is counted, not reported.
      TotalCounters::Add(counters_.totals.ipcDropped);
      sendQueue_.pop_front();
      continue;
    }
    for (int i = 0; i < sent; ++i) {
      Outgoing& front = sendQueue_.front();
      front.sent += messages[i].msg_len;
      if (messages[i].msg_len == 0 || front.sent >= front.length) {
        TotalCounters::Add(messages[i].msg_len == 0 ? counters_.totals.ipcDropped
                                                    : counters_.totals.ipcSent);
        sendQueue_.pop_front();
      }
    }
  }
}

void IpcChannel::Disconnect() {
  LogCritical("corvaned ipc pipe disconnected");
  if (socket_.is_open()) {
    boost::system::error_code error;
    socket_.close(error);
    if (error) LogError("failed to close ipc pipe: {}", error.message());
  }
  open_.store(false, std::memory_order_release);
  requestStop_();
}

std::pair<std::string, std::string> IpcChannel::ParentTexts() const {
  std::lock_guard lock(parentMutex_);
  return {parentFileName_, parentVersion_};
}

} // namespace corvane
