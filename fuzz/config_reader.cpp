// The start-up configuration read on arbitrary document contents. Input: up
// to three parts split at "\n====\n": "core.xml", "core.xml.pending",
// "product.xml", in that order; a missing part leaves its file absent, a
// part that is exactly "-" too.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <string>
#include <string_view>

#include "config/core_settings.h"
#include "config/file_store.h"
#include "fuzz_directory.h"
#include "log/logger.h"

using namespace corvane;

namespace {

constexpr const char* kFiles[] = {"core.xml", "core.xml.pending", "product.xml"};
constexpr std::string_view kSplit = "\n====\n";

void Place(const char* name, std::string_view content) {
  if (content == "-") return;
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) std::abort();
}

void RemoveAll() {
  for (const char* name : kFiles) std::remove(name);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  EnterFuzzDirectory();
  RemoveAll();
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  for (const char* name : kFiles) {
    if (data == nullptr) break;
    const size_t split = rest.find(kSplit);
    Place(name, rest.substr(0, split));
    if (split == std::string_view::npos) break;
    rest.remove_prefix(split + kSplit.size());
  }

  {
    Logger log;
    (void)ReadCoreSettings(CoreSettings{}, log);
    for (uint32_t index = 0; index < 256; ++index) {
      const int32_t level = log.Stored(index);
      if (level < -1 || level > 100) std::abort();
    }
  }
  // Whatever the reader left behind reads again, or fails with a message.
  try {
    ReadXmlFile("core.xml");
  } catch (const std::exception&) {
  }
  RemoveAll();
  return 0;
}
