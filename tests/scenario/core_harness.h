#pragma once
// Scenario harness: a temporary install of the real core binary with real
// plug-ins, started with one end of a SOCK_SEQPACKET socket pair while the
// test plays the parent daemon on the other end.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "rk/core/ipc_packet.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// root/bin/corvane-core, root/bin/plugins/RuzUZ.so, root/bin/protected-plugins,
// root/work (the core's working directory, with scripts/get_id.sh).
class CoreLayout {
public:
  explicit CoreLayout(bool withLoggingPlugin = true);
  ~CoreLayout();
  CoreLayout(const CoreLayout&) = delete;
  CoreLayout& operator=(const CoreLayout&) = delete;

  // Copies a probe build (e.g. "probe", "probe_noopen") as `fileName` into
  // `directory` below bin, and writes its configuration "key value" lines.
  void AddProbe(const std::string& fileName, const std::string& config,
                const std::string& build = "probe", const std::string& directory = "plugins");
  // Copies a built plug-in (e.g. a sample from the build's bin/plugins) into
  // `directory` below bin, under its own file name.
  void AddPlugin(const fs::path& built, const std::string& directory = "plugins");
  void WriteFile(const fs::path& relativeToWork, const std::string& content);
  std::string ReadFile(const fs::path& relativeToWork) const;
  bool Exists(const fs::path& relativeToWork) const;
  // The probe's call lines, in order.
  std::vector<std::string> Calls(const std::string& fileName) const;

  fs::path root, bin, work;
};

struct ExitStatus {
  bool exited = false; // false: killed by a signal (or by the harness on time-out)
  int code = -1;       // exit status, or the signal number
  bool timedOut = false;
};

class CoreProcess {
public:
  struct Options {
    // Not an aggregate, so that {args, withSocket} leaves the rest defaulted.
    Options() = default;
    Options(std::vector<std::string> arguments, bool socket = true)
        : args(std::move(arguments)), withSocket(socket) {}

    std::vector<std::string> args; // empty: the socket's descriptor number
    bool withSocket = true;
    std::string program; // empty: bin/corvane-core (e.g. a parent daemon instead)
    // Runs in the forked child right before exec (e.g. to change its user);
    // only async-signal-safe calls belong here.
    std::function<void()> beforeExec;
    // "NAME=value" entries added to (or replacing) the inherited environment.
    std::vector<std::string> environment;
  };
  explicit CoreProcess(CoreLayout& layout);
  CoreProcess(CoreLayout& layout, Options options);
  ~CoreProcess(); // kills a core still running

  void Start();
  void Signal(int signal);
  // Waits for the process; kills it (SIGKILL) after `limit`.
  ExitStatus Wait(std::chrono::milliseconds limit = 30s);
  bool Running();

  // The parent's side of the socket.
  bool Send(const std::vector<uint8_t>& message);
  std::optional<std::vector<uint8_t>> Receive(std::chrono::milliseconds limit = 5s);
  void CloseParentEnd();
  int parentFd() const { return parentFd_; }

  std::string Stdout();
  std::string Stderr();
  // Waits until standard output contains `text` (coloured lines included).
  bool WaitForStdout(const std::string& text, std::chrono::milliseconds limit = 10s);
  // Occurrences of `text` in standard output.
  size_t CountStdout(const std::string& text);
  pid_t pid() const { return pid_; }

private:
  void Pump(int fd, std::string& sink);

  CoreLayout& layout_;
  Options options_;
  pid_t pid_ = -1;
  int parentFd_ = -1;
  std::optional<ExitStatus> status_;
  std::mutex outputMutex_; // guards out_, err_
  std::condition_variable outputChanged_;
  std::string out_, err_;
  std::thread outPump_, errPump_;
};

// An IPC packet: 16-byte header (length, address word, kind, fourth word)
// and payload.
std::vector<uint8_t> Packet(uint32_t kind, uint32_t address, const std::string& payload);

// Talks to a probe's control socket ("<file>.sock" in the work directory).
class ProbeControl {
public:
  ProbeControl(const CoreLayout& layout, const std::string& fileName);
  ~ProbeControl();
  // Sends one command line, returns the answer line.
  std::string Command(const std::string& line);
  // The "key=value" answer's value for `key`.
  static std::string Field(const std::string& answer, const std::string& key);

private:
  int fd_ = -1;
};

// Runs a shell command line; its standard output and exit status (-1 when
// it did not exit normally).
struct CommandOutcome {
  int status = -1;
  std::string out;
};
CommandOutcome RunCommand(const std::string& line);
// The same with its standard error in `output` too (or thrown away when
// Quiet): the exit status.
enum ShellErrors { Joined, Quiet };
int Shell(const std::string& line, std::string& output);
int Shell(ShellErrors errors, const std::string& line, std::string& output);
// A path as one word of a shell command line (test paths hold no quote).
inline std::string Quote(const fs::path& path) {
  return "'" + path.string() + "'";
}

// Polls `predicate` until true or `limit` passes.
bool WaitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds limit = 10s);

// Bytes as lower-case hex digits, as the probe writes payloads and takes them.
std::string HexOf(const std::string& bytes);
std::string HexOf(const std::vector<uint8_t>& bytes);

// The IPC address word of plug-in id n: the id sits in bits 20-27.
uint32_t Address(uint32_t id);

// Waits until the probe `file` has been opened `times` times in all.
bool Opened(const CoreLayout& layout, const std::string& file, size_t times = 1);

// "LogLevel" of the status document's "Plugin" entry with this "ID"; "" when absent.
std::string LevelOf(const std::string& xml, const std::string& id);

// The probe command posting a configuration delta that sets one plug-in's level.
std::string DeltaPost(const std::string& id, int level);

// Lines of the probe calls file starting with `entry` (e.g. "OnEvent").
std::vector<std::string> CallsOf(const std::vector<std::string>& calls, const std::string& entry);
// Value of "key=" in a call line.
std::string CallField(const std::string& line, const std::string& key);

// The fields of /proc/<pid>/stat from the third (the state) on; none once
// the process is gone.
std::vector<std::string> StatFields(pid_t pid);
// User plus system time the process has used, in clock ticks; -1 once it is gone.
long CpuTicks(pid_t pid);
