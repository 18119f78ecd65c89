#pragma once
// Moves a fuzz process into a fresh temporary directory once, so targets that
// read or write the core's documents ("core.xml" and friends) touch nothing
// else. The directory is left behind on purpose: a crash input needs it.
#include <cstdlib>
#include <string>
#include <unistd.h>

inline void EnterFuzzDirectory() {
  static const bool entered = [] {
    std::string pattern = "/tmp/corvane-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr || ::chdir(pattern.c_str()) != 0) std::abort();
    return true;
  }();
  (void)entered;
}
