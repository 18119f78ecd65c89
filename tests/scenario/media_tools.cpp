#include "media_tools.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The process's scratch directory for clips and server statistics.
class Scratch {
public:
  Scratch() {
    std::string pattern = (fs::temp_directory_path() / "corvane-media-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = pattern;
  }
  ~Scratch() {
    std::error_code error;
    fs::remove_all(path, error);
  }
  fs::path path;
};

Scratch& ScratchDir() {
  static Scratch scratch;
  return scratch;
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

uint16_t BoundPort(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

} // namespace

namespace {

// `ffmpeg <arguments> <clip>` once per process, in the scratch directory.
fs::path CachedClip(const std::string& name, const std::string& arguments) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  const fs::path clip = ScratchDir().path / name;
  if (fs::exists(clip)) return clip;
  const std::string command =
      "ffmpeg -hide_banner -loglevel error -y " + arguments + " '" + clip.string() + "'";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("ffmpeg failed: " + command);
  return clip;
}

// A 320x180 test pattern at 25 frames/s, a key frame a second, in H.264.
constexpr const char* kPattern = "-f lavfi -i testsrc=size=320x180:rate=25";
constexpr const char* kVideo =
    "-c:v libx264 -preset ultrafast -g 25 -keyint_min 25 -sc_threshold 0 -bf 0 -pix_fmt yuv420p";

} // namespace

fs::path TestClip(int seconds) {
  return CachedClip("clip-" + std::to_string(seconds) + ".mp4",
                    std::string(kPattern) + " -t " + std::to_string(seconds) + " " + kVideo);
}

fs::path MidGopClip() {
  const fs::path whole = TestClip(2);
  // An output -ss with -copyinkf keeps the frames before the next key frame.
  return CachedClip("clip-2-mid-gop.mp4", "-i '" + whole.string() + "' -ss 0.4 -c copy -copyinkf");
}

fs::path TestClipWithAudio(int seconds) {
  return CachedClip("clip-audio-" + std::to_string(seconds) + ".mp4",
                    std::string(kPattern) +
                        " -f lavfi -i sine=frequency=440:sample_rate=48000 -t " +
                        std::to_string(seconds) + " " + kVideo + " -c:a aac -ac 1 -b:a 48k");
}

RtspServer::RtspServer(std::vector<std::pair<std::string, fs::path>> mounts,
                       std::vector<std::pair<std::string, fs::path>> audioMounts)
    : mounts_(std::move(mounts)), audioMounts_(std::move(audioMounts)) {
  static std::atomic<int> count{0};
  stats_ = ScratchDir().path / ("sent-" + std::to_string(++count) + ".txt");
}

RtspServer::~RtspServer() {
  Stop();
}

void RtspServer::Start() {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> args = {
      CORVANE_PYTHON, std::string(CORVANE_SOURCE_DIR) + "/tests/tools/rtsp_server.py",
      "--port",       std::to_string(port_),
      "--stats",      stats_.string()};
  for (const auto& [mount, file] : mounts_) {
    args.push_back("--mount");
    args.push_back(mount + "=" + file.string());
  }
  for (const auto& [mount, file] : audioMounts_) {
    args.push_back("--av-mount");
    args.push_back(mount + "=" + file.string());
  }
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::execv(argv[0], argv.data());
    _exit(127);
  }
  ::close(out[1]);
  std::string line;
  pollfd p{out[0], POLLIN, 0};
  while (line.find('\n') == std::string::npos && ::poll(&p, 1, 15000) == 1) {
    char chunk[64];
    const ssize_t n = ::read(out[0], chunk, sizeof chunk);
    if (n <= 0) break;
    line.append(chunk, static_cast<size_t>(n));
  }
  ::close(out[0]);
  if (line.rfind("port ", 0) != 0) {
    Stop();
    throw std::runtime_error("the RTSP server did not start: " + line);
  }
  port_ = static_cast<uint16_t>(std::stoi(line.substr(5)));
}

void RtspServer::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGCONT);
  ::kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 300 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i)
    std::this_thread::sleep_for(10ms);
  if (::waitpid(pid_, &status, WNOHANG) == 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
  }
  pid_ = -1;
}

void RtspServer::Freeze() {
  if (pid_ > 0) ::kill(pid_, SIGSTOP);
}

void RtspServer::Thaw() {
  if (pid_ > 0) ::kill(pid_, SIGCONT);
}

std::string RtspServer::Url(const std::string& mount) const {
  return "rtsp://127.0.0.1:" + std::to_string(port_) + "/" + mount;
}

long RtspServer::Sent(const std::string& mount) const {
  std::ifstream in(stats_);
  std::string name;
  long count = 0;
  while (in >> name >> count)
    if (name == mount) return count;
  return -1;
}

SilentServer::SilentServer() {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = Loopback(0);
  if (::bind(listenFd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listenFd_, 8) != 0)
    throw std::runtime_error("cannot listen");
  port_ = BoundPort(listenFd_);
  thread_ = std::thread([this] {
    for (;;) {
      const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      connections_.push_back(fd);
      ++accepted_;
    }
  });
}

SilentServer::~SilentServer() {
  ::shutdown(listenFd_, SHUT_RDWR);
  thread_.join();
  ::close(listenFd_);
  for (int fd : connections_) ::close(fd);
}

uint16_t UnusedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = Loopback(0);
  ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const uint16_t port = BoundPort(fd);
  ::close(fd);
  return port;
}

std::vector<std::string> MediaLines(const CoreLayout& layout, const std::string& file,
                                    const std::string& kind, const std::string& text) {
  std::vector<std::string> lines;
  std::string all = layout.ReadFile(file + ".media");
  all.erase(all.find_last_of('\n') == std::string::npos ? 0 : all.find_last_of('\n') + 1);
  std::istringstream in(all);
  for (std::string line; std::getline(in, line);)
    if (line.rfind(kind + " ", 0) == 0 && line.find(text) != std::string::npos)
      lines.push_back(line);
  return lines;
}
