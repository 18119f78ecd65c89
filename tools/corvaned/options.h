#pragma once
#include <optional>
#include <string>

// corvaned [--background] [--core PATH] [--workdir DIR]
struct Options {
  bool background = false;
  std::string corePath; // absolute; default: the installed core, else corvane-core beside corvaned
  std::string workDir;  // absolute; default: the current directory
};

// The options, or nothing after printing the usage (`error` says whether the
// command line was wrong or help was asked for).
std::optional<Options> ParseOptions(int argc, char** argv, bool& error);

// The running executable's canonical path (argv[0] when /proc is missing).
std::string OwnPath(const char* argv0);
