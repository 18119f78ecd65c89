#pragma once
// The settings the core reads once at start, before its threads run.
#include <optional>
#include <string>

namespace corvane {

class Logger;

struct CoreSettings {
  std::string productName; // "Family" of "product.xml", else the built-in name
  std::string version;     // "Version" of "product.xml", else the built-in version
  bool throttling = true;  // "Varn/Memory" "Throttling" of "core.xml"
  // "Listen" of the root's "Http" child in "core.xml", as written; none
  // without that element (no status endpoint).
  std::optional<std::string> httpListen;
};

// Reads "product.xml" and "core.xml" from the working directory: the product
// identity (any failure keeps `defaults`' texts, silently), the throttling
// switch and every log threshold, which go straight into `log`. A missing or
// broken "core.xml" is logged ("Config defaulted") and changes nothing.
CoreSettings ReadCoreSettings(const CoreSettings& defaults, Logger& log);

} // namespace corvane
