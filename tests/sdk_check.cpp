// The SDK headers compile from C++ with nothing else included.
#include "rk/core/sdk.h"

int rk_sdk_check_cpp() {
  rk::core::VideoOutEvt e;
  rk::core::PluginInfo info{};
  info.acceptVideo = RK_ACCEPT_LIVE;
  return static_cast<int>(rk::core::SourceIndex(e.source) + info.size);
}
