#include "core_harness.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void Copy(const fs::path& from, const fs::path& to) {
  fs::create_directories(to.parent_path());
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  fs::permissions(to, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                          fs::perms::others_read | fs::perms::others_exec);
}

} // namespace

CoreLayout::CoreLayout(bool withLoggingPlugin) {
  std::string pattern = (fs::temp_directory_path() / "corvane-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root = pattern;
  // Readable by an unprivileged core too (privilege scenarios).
  fs::permissions(root, fs::perms::all);
  bin = root / "bin";
  work = root / "work";
  fs::create_directories(bin / "plugins");
  fs::create_directories(bin / "protected-plugins");
  fs::create_directories(work / "scripts");
  fs::permissions(work, fs::perms::all);
  Copy(CORVANE_CORE_BINARY, bin / "corvane-core");
  if (withLoggingPlugin) Copy(CORVANE_LOGGING_PLUGIN, bin / "plugins" / "RuzUZ.so");
  WriteFile("scripts/get_id.sh", "#!/bin/sh\necho test-host-id\n");
  fs::permissions(work / "scripts" / "get_id.sh",
                  fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                      fs::perms::others_read | fs::perms::others_exec);
}

CoreLayout::~CoreLayout() {
  if (std::getenv("CORVANE_KEEP_TEST_DIRS") == nullptr) {
    std::error_code error;
    fs::remove_all(root, error);
  }
}

void CoreLayout::AddProbe(const std::string& fileName, const std::string& config,
                          const std::string& build, const std::string& directory) {
  Copy(fs::path(CORVANE_TEST_PLUGIN_DIR) / (build + ".so"), bin / directory / fileName);
  WriteFile(fileName + ".cfg", config);
}

void CoreLayout::AddPlugin(const fs::path& built, const std::string& directory) {
  Copy(built, bin / directory / built.filename());
}

void CoreLayout::WriteFile(const fs::path& relative, const std::string& content) {
  const fs::path path = work / relative;
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string CoreLayout::ReadFile(const fs::path& relative) const {
  std::ifstream in(work / relative, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool CoreLayout::Exists(const fs::path& relative) const {
  return fs::exists(work / relative);
}

std::vector<std::string> CoreLayout::Calls(const std::string& fileName) const {
  std::vector<std::string> lines;
  std::string text = ReadFile(fileName + ".calls");
  // A line still being written (a large payload's) is not a call yet.
  text.erase(text.find_last_of('\n') == std::string::npos ? 0 : text.find_last_of('\n') + 1);
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

CoreProcess::CoreProcess(CoreLayout& layout) : CoreProcess(layout, Options{}) {}
CoreProcess::CoreProcess(CoreLayout& layout, Options options)
    : layout_(layout), options_(std::move(options)) {}

CoreProcess::~CoreProcess() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    Wait(5s);
  }
  if (outPump_.joinable()) outPump_.join();
  if (errPump_.joinable()) errPump_.join();
  if (parentFd_ >= 0) ::close(parentFd_);
}

void CoreProcess::Start() {
  int pair[2] = {-1, -1};
  if (options_.withSocket && ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
    throw std::runtime_error("socketpair failed");
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");

  std::vector<std::string> args = {
      options_.program.empty() ? (layout_.bin / "corvane-core").string() : options_.program};
  if (options_.args.empty() && options_.withSocket) {
    args.push_back(std::to_string(pair[1]));
  } else {
    args.insert(args.end(), options_.args.begin(), options_.args.end());
  }

  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string workDir = layout_.work.string();
  // Built before fork: the child only execs.
  std::vector<std::string> environment = options_.environment;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const auto named = [&](const std::string& set) {
      return set.substr(0, set.find('=')) == entry.substr(0, entry.find('='));
    };
    if (std::none_of(options_.environment.begin(), options_.environment.end(), named))
      environment.push_back(entry);
  }
  std::vector<char*> envp;
  for (auto& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_ = ::fork();
  if (pid_ == 0) {
    const int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    if (pair[1] >= 0) ::fcntl(pair[1], F_SETFD, 0); // the one descriptor the core inherits
    if (::chdir(workDir.c_str()) != 0) _exit(127);
    if (options_.beforeExec) options_.beforeExec();
    ::execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  if (pair[1] >= 0) ::close(pair[1]);
  parentFd_ = pair[0];
  outPump_ = std::thread([this, fd = out[0]] { Pump(fd, out_); });
  errPump_ = std::thread([this, fd = err[0]] { Pump(fd, err_); });
}

void CoreProcess::Pump(int fd, std::string& sink) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::lock_guard lock(outputMutex_);
    sink.append(buffer, static_cast<size_t>(n));
    outputChanged_.notify_all();
  }
  ::close(fd);
}

void CoreProcess::Signal(int signal) {
  ::kill(pid_, signal);
}

bool CoreProcess::Running() {
  if (status_) return false;
  int raw = 0;
  const pid_t r = ::waitpid(pid_, &raw, WNOHANG);
  if (r == 0) return true;
  ExitStatus s;
  s.exited = WIFEXITED(raw);
  s.code = s.exited ? WEXITSTATUS(raw) : WTERMSIG(raw);
  status_ = s;
  return false;
}

ExitStatus CoreProcess::Wait(std::chrono::milliseconds limit) {
  if (status_) return *status_;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  bool timedOut = false;
  while (Running()) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      timedOut = true;
      int raw = 0;
      ::waitpid(pid_, &raw, 0);
      status_ = ExitStatus{false, SIGKILL, true};
      break;
    }
    std::this_thread::sleep_for(5ms);
  }
  status_->timedOut = status_->timedOut || timedOut;
  if (outPump_.joinable()) outPump_.join();
  if (errPump_.joinable()) errPump_.join();
  return *status_;
}

bool CoreProcess::Send(const std::vector<uint8_t>& message) {
  return ::send(parentFd_, message.data(), message.size(), MSG_NOSIGNAL) ==
         static_cast<ssize_t>(message.size());
}

std::optional<std::vector<uint8_t>> CoreProcess::Receive(std::chrono::milliseconds limit) {
  pollfd p{parentFd_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return std::nullopt;
  std::vector<uint8_t> buffer(70000);
  const ssize_t n = ::recv(parentFd_, buffer.data(), buffer.size(), 0);
  if (n <= 0) return std::nullopt;
  buffer.resize(static_cast<size_t>(n));
  return buffer;
}

void CoreProcess::CloseParentEnd() {
  if (parentFd_ >= 0) ::close(parentFd_);
  parentFd_ = -1;
}

std::string CoreProcess::Stdout() {
  std::lock_guard lock(outputMutex_);
  return out_;
}

std::string CoreProcess::Stderr() {
  std::lock_guard lock(outputMutex_);
  return err_;
}

bool CoreProcess::WaitForStdout(const std::string& text, std::chrono::milliseconds limit) {
  std::unique_lock lock(outputMutex_);
  return outputChanged_.wait_for(lock, limit, [&] { return out_.find(text) != std::string::npos; });
}

size_t CoreProcess::CountStdout(const std::string& text) {
  const std::string out = Stdout();
  size_t count = 0;
  for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++count;
  return count;
}

std::vector<uint8_t> Packet(uint32_t kind, uint32_t address, const std::string& payload) {
  return rk::core::MakeIpcPacket(kind, address, payload);
}

ProbeControl::ProbeControl(const CoreLayout& layout, const std::string& fileName) {
  const std::string path = (layout.work / (fileName + ".sock")).string();
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) throw std::runtime_error("socket path too long");
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  for (;;) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return;
    ::close(fd_);
    fd_ = -1;
    if (std::chrono::steady_clock::now() > deadline)
      throw std::runtime_error("probe control socket not reachable: " + path);
    std::this_thread::sleep_for(10ms);
  }
}

ProbeControl::~ProbeControl() {
  if (fd_ >= 0) ::close(fd_);
}

std::string ProbeControl::Command(const std::string& line) {
  const std::string text = line + "\n";
  // A core that died under the probe must fail the command, not the test.
  if (::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size()))
    return "";
  std::string answer;
  char c;
  while (::read(fd_, &c, 1) == 1 && c != '\n') answer += c;
  return answer;
}

std::string ProbeControl::Field(const std::string& answer, const std::string& key) {
  return CallField(answer, key);
}

CommandOutcome RunCommand(const std::string& line) {
  CommandOutcome result;
  FILE* pipe = ::popen(line.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, n);
  const int raw = ::pclose(pipe);
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return result;
}

int Shell(ShellErrors errors, const std::string& line, std::string& output) {
  CommandOutcome outcome = RunCommand(line + (errors == Joined ? " 2>&1" : " 2>/dev/null"));
  output = std::move(outcome.out);
  return outcome.status;
}

int Shell(const std::string& line, std::string& output) {
  return Shell(Joined, line, output);
}

bool WaitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

uint32_t Address(uint32_t id) {
  return rk::core::IpcAddress(id);
}

bool Opened(const CoreLayout& layout, const std::string& file, size_t times) {
  return WaitUntil([&] { return CallsOf(layout.Calls(file), "Open").size() >= times; }, 30s);
}

std::string LevelOf(const std::string& xml, const std::string& id) {
  const size_t at = xml.find("<Plugin ID=\"" + id + "\"");
  if (at == std::string::npos) return "";
  const size_t tagEnd = xml.find('>', at);
  const size_t level = xml.find(" LogLevel=\"", at);
  if (level == std::string::npos || level > tagEnd) return "";
  const size_t start = level + 11;
  return xml.substr(start, xml.find('"', start) - start);
}

std::string DeltaPost(const std::string& id, int level) {
  const std::string text = "<?xml?><Varn><Modules Delta=\"1\"><Module><Plugin ID=\"" + id +
                           "\" LogLevel=\"" + std::to_string(level) +
                           "\"/></Module></Modules></Varn>";
  return "post type=256 flags=0x1000010 hex=" + HexOf(text);
}

std::vector<std::string> CallsOf(const std::vector<std::string>& calls, const std::string& entry) {
  std::vector<std::string> out;
  for (const auto& line : calls)
    if (line.rfind(entry + " ", 0) == 0 || line == entry) out.push_back(line);
  return out;
}

std::string CallField(const std::string& line, const std::string& key) {
  const std::string needle = key + "=";
  size_t at = 0;
  while ((at = line.find(needle, at)) != std::string::npos) {
    if (at == 0 || line[at - 1] == ' ') {
      const size_t start = at + needle.size();
      const size_t end = line.find(' ', start);
      return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
    }
    at += needle.size();
  }
  return "";
}

std::string HexOf(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string HexOf(const std::vector<uint8_t>& bytes) {
  return HexOf(std::string(bytes.begin(), bytes.end()));
}

std::vector<std::string> StatFields(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = stat.rfind(')');
  std::vector<std::string> fields;
  if (close == std::string::npos) return fields;
  std::istringstream in2(stat.substr(close + 2));
  for (std::string field; in2 >> field;) fields.push_back(field);
  return fields;
}

long CpuTicks(pid_t pid) {
  const auto fields = StatFields(pid);
  return fields.size() < 13 ? -1 : std::stol(fields[11]) + std::stol(fields[12]);
}
