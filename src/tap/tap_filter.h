#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tap/tap_record.h"

namespace corvane {

// Which records one tap client wants: every group given must match, a record
// matches a group when it matches any entry in it. Empty groups match all.
//   type=alarm,video     by type code (modifier bit ignored)
//   source=74,03         by the sender's plug-in id (hex; 00 = the core)
//   to=03                by a receiver's plug-in id (hex)
class TapFilter {
public:
  // Parses the line a client sends ("type=alarm source=74", "" = all); on
  // failure returns false and says why in `error`.
  bool Parse(std::string_view line, std::string& error);
  bool Matches(const TapRecord& record, const std::vector<TapReceiver>& receivers) const;
  // The filter as a client would write it; "everything" when empty.
  std::string Describe() const;

private:
  std::vector<uint64_t> types_;
  std::vector<uint32_t> sources_;
  std::vector<uint32_t> receivers_;
};

} // namespace corvane
