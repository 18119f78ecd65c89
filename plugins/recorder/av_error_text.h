#pragma once
// libav's text for one of its error codes, for the recorder's log lines.
#include <string>

extern "C" {
#include <libavutil/error.h>
}

namespace recorder {

inline std::string AvErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

} // namespace recorder
