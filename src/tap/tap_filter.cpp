#include "tap/tap_filter.h"

#include <algorithm>
#include <charconv>
#include <fmt/format.h>

namespace corvane {

namespace {

constexpr uint64_t kModifier = 0x4000;

template <typename F> void ForEachItem(std::string_view list, char separator, F&& f) {
  while (!list.empty()) {
    const size_t end = std::min(list.find(separator), list.size());
    if (end > 0) f(list.substr(0, end));
    list.remove_prefix(std::min(end + 1, list.size()));
  }
}

bool ParseId(std::string_view text, uint32_t& id) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id, 16);
  return error == std::errc() && end == text.data() + text.size() && id <= 0xFF;
}

template <typename T> bool Has(const std::vector<T>& list, T value) {
  return list.empty() || std::find(list.begin(), list.end(), value) != list.end();
}

} // namespace

bool TapFilter::Parse(std::string_view line, std::string& error) {
  *this = TapFilter();
  bool ok = true;
  ForEachItem(line, ' ', [&](std::string_view term) {
    if (!ok) return;
    const size_t equals = term.find('=');
    const std::string_view key = term.substr(0, equals);
    const std::string_view values = equals == std::string_view::npos ? "" : term.substr(equals + 1);
    if (values.empty() || (key != "type" && key != "source" && key != "to")) {
      error = fmt::format("bad filter term '{}' (type=NAME, source=ID or to=ID)", term);
      ok = false;
      return;
    }
    ForEachItem(values, ',', [&](std::string_view value) {
      if (!ok) return;
      uint64_t code = 0;
      uint32_t id = 0;
      if (key == "type") {
        if ((ok = TapTypeCode(value, code)))
          types_.push_back(code & ~kModifier);
        else
          error = fmt::format("unknown type '{}'", value);
      } else if ((ok = ParseId(value, id))) {
        (key == "source" ? sources_ : receivers_).push_back(id);
      } else {
        error = fmt::format("bad plug-in id '{}' (hex, 00 to ff)", value);
      }
    });
  });
  if (!ok) *this = TapFilter();
  return ok;
}

bool TapFilter::Matches(const TapRecord& record, const std::vector<TapReceiver>& receivers) const {
  const uint32_t source = record.source == 0x80000000 ? 0 : (record.source >> 16) & 0xFF;
  if (!Has(types_, record.type & ~kModifier) || !Has(sources_, source)) return false;
  if (receivers_.empty()) return true;
  return std::any_of(receivers.begin(), receivers.end(),
                     [&](const TapReceiver& r) { return Has(receivers_, r.index); });
}

std::string TapFilter::Describe() const {
  std::string text;
  if (!types_.empty()) {
    text += "type=";
    for (size_t i = 0; i < types_.size(); ++i) text += (i ? "," : "") + TapTypeName(types_[i]);
  }
  const auto ids = [&](const char* key, const std::vector<uint32_t>& list) {
    if (list.empty()) return;
    text += fmt::format("{}{}=", text.empty() ? "" : " ", key);
    for (size_t i = 0; i < list.size(); ++i) text += fmt::format("{}{:02x}", i ? "," : "", list[i]);
  };
  ids("source", sources_);
  ids("to", receivers_);
  return text.empty() ? "everything" : text;
}

} // namespace corvane
