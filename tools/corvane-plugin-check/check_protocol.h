#pragma once
// Messages from the inspecting child to the reporting parent: one line each,
// words separated by single spaces, free text last and escaped so that it
// holds no space, newline or control byte. Each line is written with one
// write() of at most kMaxMessage bytes, so lines from several threads never
// mix on the pipe.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace check {

inline constexpr size_t kMaxMessage = 4000; // below PIPE_BUF

// Steps the child reports with "enter <step>" and "leave <step> <code> <ns>".
// Only steps on the child's main thread run against the time limit.
inline constexpr const char* kStepNames[] = {"dlopen",      "Load",        "Open",   "Close",
                                             "join-reader", "join-worker", "Unload", "dlclose"};

// Printable bytes stay, everything else (space included) becomes %XX.
std::string Escape(std::string_view text);
std::string Unescape(std::string_view text);
std::vector<std::string> Words(std::string_view line);

} // namespace check
