#pragma once
// Commands taken from the broker and turned into records for the core:
//   <root>/commands/alarm         {"camera":1,"text":"door 3 forced"} -> live alarm
//   <root>/commands/ptz/<Number>  any JSON object                     -> live PTZ
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace mqtt {

inline constexpr size_t kMaxCommandBytes = 64 * 1024;

struct Command {
  uint64_t type = 0;   // RK_TYPE_ALARM or RK_TYPE_PTZ
  uint32_t camera = 0; // for the media description's camera field
  std::string payload; // what the record carries
};

struct CommandResult {
  std::optional<Command> command;
  std::string reason; // why it was refused
};

// `root` is "<Prefix>/<Server>".
CommandResult ParseCommand(const std::string& root, const std::string& topic, const void* payload,
                           size_t length);

// The command topics to subscribe to.
std::string AlarmCommandTopic(const std::string& root);
std::string PtzCommandFilter(const std::string& root);

} // namespace mqtt
