#pragma once
#include <atomic>
#include <boost/asio/generic/seq_packet_protocol.hpp>
#include <boost/asio/io_context.hpp>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

class DvrCore;

// The channel to the parent daemon over the inherited AF_UNIX SOCK_SEQPACKET
// socket. All socket work, the receive buffer, the fill count and the send
// queue belong to the I/O thread; other threads only post hand-overs to it.
class IpcChannel {
public:
  IpcChannel(DvrCore& core, boost::asio::io_context& io);
  ~IpcChannel(); // frees every buffer still queued

  // Init: adopts the descriptor; false when it is not usable.
  bool Adopt(uint32_t descriptor);
  // Run: issues the first receive; without a socket it fails at once.
  void StartReceive();
  // Any thread: whether a socket is open (descriptor not -1).
  bool HasChannel() const { return open_.load(std::memory_order_acquire); }
  // Any thread: copies the bytes and hands them to the I/O thread; 1 when
  // there is no channel, else 0.
  uint32_t Forward(const void* data, uint32_t length);
  // Any thread: the parent's file name and version from its identity packet.
  std::pair<std::string, std::string> ParentTexts() const;

  // Receive completion, public for the framing tests.
  void OnIpcRead(const boost::system::error_code& error, size_t bytes);

private:
  struct FreeDeleter {
    void operator()(uint8_t* p) const { std::free(p); }
  };
  using Buffer = std::unique_ptr<uint8_t, FreeDeleter>;

  void Receive();
  void HandlePacket(const uint8_t* packet, uint32_t length);
  void ParentIdentity(const uint8_t* packet, uint32_t length);
  void Enqueue(Buffer buffer, size_t length);
  void WriteFront();
  void Disconnect();

  DvrCore& core_;
  boost::asio::io_context& io_;
  boost::asio::generic::seq_packet_protocol::socket socket_;
  std::atomic<bool> open_{false};
  Buffer receiveBuffer_;   // 65536 bytes; I/O thread
  uint64_t fill_ = 0;      // I/O thread
  boost::asio::socket_base::message_flags receiveFlags_ = 0; // I/O thread
  std::deque<std::pair<Buffer, size_t>> sendQueue_; // I/O thread
  mutable std::mutex parentMutex_; // guards the two parent texts
  std::string parentFileName_;
  std::string parentVersion_;
};
