#pragma once
// URLs as they may be logged: credentials replaced by "***".
#include <string>

namespace ipcam {

// "rtsp://user:pw@host/x?password=y" -> "rtsp://***@host/x?password=***".
std::string MaskedUrl(const std::string& url);

} // namespace ipcam
