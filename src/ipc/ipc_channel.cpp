#include "ipc/ipc_channel.h"

#include <sys/socket.h>

#include "core/dvr_core.h"
#include "log/core_log.h"

// Placeholder until the channel is built: no socket, the first receive
// reports the parent as gone.
IpcChannel::IpcChannel(DvrCore& core, boost::asio::io_context& io)
    : core_(core), io_(io), socket_(io) {}
IpcChannel::~IpcChannel() = default;
bool IpcChannel::Adopt(uint32_t descriptor) {
  // Only a local sequenced-packet socket is usable; anything else is refused
  // here rather than failing later in odd ways.
  int type = 0;
  socklen_t size = sizeof type;
  if (::getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_TYPE, &type, &size) != 0 ||
      type != SOCK_SEQPACKET) {
    return false;
  }
  boost::system::error_code error;
  socket_.assign(boost::asio::generic::seq_packet_protocol(AF_UNIX, 0),
                 static_cast<int>(descriptor), error);
  if (error) return false;
  receiveBuffer_.reset(static_cast<uint8_t*>(std::malloc(65536)));
  open_.store(true);
  return true;
}
void IpcChannel::StartReceive() { Receive(); }
void IpcChannel::Receive() {
  if (!socket_.is_open()) {
    boost::asio::post(io_, [this] { Disconnect(); });
    return;
  }
  socket_.async_receive(boost::asio::buffer(receiveBuffer_.get() + fill_, 65536 - fill_), receiveFlags_,
                        [this](const boost::system::error_code& error, size_t n) {
                          if (error || n == 0) return Disconnect();
                          Receive();
                        });
}
uint32_t IpcChannel::Forward(const void*, uint32_t) { return 1; }
std::pair<std::string, std::string> IpcChannel::ParentTexts() const {
  std::lock_guard lock(parentMutex_);
  return {parentFileName_, parentVersion_};
}
void IpcChannel::OnIpcRead(const boost::system::error_code&, size_t) {}
void IpcChannel::Disconnect() {
  boost::system::error_code ignored;
  socket_.close(ignored);
  open_.store(false);
  LogCritical("corvaned ipc pipe disconnected");
  core_.RequestStop();
}
