// The SDK headers compile from C++ with nothing else included.
#include "rk/core/sdk.h"

int rk_sdk_check_cpp() {
  rk::core::VideoOutEvt e;
  rk::core::PluginInfo info{};
  info.acceptVideo = RK_ACCEPT_LIVE;
  return static_cast<int>(rk::core::SourceIndex(e.source) + info.size);
}

int rk_sdk_check_media_cpp() {
  rk::core::VideoEvt e;
  rk::core::MediaInfoOf(e).camera = 1;
  const auto search = rk::core::MakeMediaSearch(1, RK_MEDIA_KIND_VIDEO, 0, 1);
  return static_cast<int>(rk::core::MediaInfoOf(e).camera) +
         (rk::core::IsMediaSearch(&search, sizeof search) ? 1 : 0);
}
