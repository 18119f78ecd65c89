#pragma once
#include <atomic>
#include <boost/asio/generic/seq_packet_protocol.hpp>
#include <boost/asio/io_context.hpp>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "pluginhost/plugin_registry.h"
#include "rk/core/ipc_packet.h"
#include "util/core_counters.h"

namespace corvane {

class Logger;

// The channel to the parent daemon over the inherited AF_UNIX SOCK_SEQPACKET
// socket. All socket work, the receive buffer, the fill count and the send
// queue belong to the I/O thread; other threads only post hand-overs to it.
class IpcChannel {
public:
  // Largest packet in either direction, and the receive buffer's size.
  static constexpr uint32_t kMaxPacket = rk::core::kIpcMaxPacket;

  // Packets go to plug-ins of `plugins`' snapshot; the parent's background
  // option turns `log`'s console off; a stop packet or the parent's going
  // away calls `requestStop` (on the I/O thread). The references must
  // outlive the channel.
  IpcChannel(boost::asio::io_context& io, const PluginRegistry& plugins, Logger& log,
             CoreCounters& counters, std::function<void()> requestStop);
  ~IpcChannel(); // frees every buffer still queued
  IpcChannel(const IpcChannel&) = delete;
  IpcChannel& operator=(const IpcChannel&) = delete;

  // Init: adopts the descriptor; false when it is not usable.
  bool Adopt(uint32_t descriptor);
  // Run: issues the first receive (on the I/O thread); without a socket it
  // fails at once and is handled as the parent's disconnect.
  void StartReceive();
  // Any thread: whether a socket is open (descriptor not -1).
  bool HasChannel() const { return open_.load(std::memory_order_acquire); }
  // Any thread: copies the bytes and hands them to the I/O thread; 1 when
  // there is no channel, else 0.
  uint32_t Forward(const void* data, uint32_t length);
  // Any thread: the parent's file name and version from its identity packet.
  std::pair<std::string, std::string> ParentTexts() const;

  // Receive completion, public for the framing tests. I/O thread.
  void OnIpcRead(const boost::system::error_code& error, size_t bytes);

private:
  struct FreeDeleter {
    void operator()(uint8_t* p) const { std::free(p); }
  };
  using Buffer = std::unique_ptr<uint8_t, FreeDeleter>;
  struct Outgoing {
    Buffer bytes;
    size_t length = 0;
    size_t sent = 0; // bytes already handed to the socket
  };

  void Receive();
  // Frames and handles every complete packet in the receive buffer.
  void ConsumePackets();
  void HandlePacket(const uint8_t* packet, uint32_t length);
  void ParentIdentity(const uint8_t* packet, uint32_t length);
  void DeliverToPlugin(const uint8_t* packet, uint32_t length);
  // I/O thread: takes what Forward handed over and sends what it can.
  void Flush();
  // I/O thread: sends the queue in passes of sendmmsg until it is empty or
  // the socket is full (then it waits to be writable and goes on).
  void SendQueued();
  void Disconnect();

  boost::asio::io_context& io_;
  const PluginRegistry& plugins_;
  Logger& log_;
  CoreCounters& counters_;
  const std::function<void()> requestStop_;
  // The socket, the receive buffer, the fill count and the send queue are
  // touched only by the I/O thread once Run has started (Adopt runs before).
  boost::asio::generic::seq_packet_protocol::socket socket_;
  std::atomic<bool> open_{false}; // written by Adopt and Disconnect, read by any thread
  Buffer receiveBuffer_;          // kMaxPacket bytes; a packet starts at byte 0
  uint64_t fill_ = 0;             // valid bytes in receiveBuffer_
  boost::asio::socket_base::message_flags receiveFlags_ = 0;
  std::deque<Outgoing> sendQueue_; // front entry is the one being written
  bool waitingWritable_ = false;   // a wait for room in the socket is outstanding
  // Handed over by Forward and not yet taken by the I/O thread; one flush is
  // posted for all of them.
  std::mutex pendingMutex_;
  std::vector<Outgoing> pending_;  // guarded by pendingMutex_
  bool flushPosted_ = false;       // guarded by pendingMutex_
  mutable std::mutex parentMutex_; // guards the two parent texts (read by the status document)
  std::string parentFileName_;
  std::string parentVersion_;
};

} // namespace corvane
