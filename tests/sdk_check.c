/* The SDK headers compile from C with nothing else included. */
#include "rk/core/sdk.h"

int rk_sdk_check_c(void) {
  rk_core_EventParms e;
  rk_core_InitEvent(&e);
  e.type = RK_TYPE_VIDEO;
  e.flags = RK_FLAG_LIVE;
  e.media.mediaFlags = RK_MEDIA_OUTPUT;
  return (int)rk_core_SourceIndex(e.source) + (int)sizeof(rk_core_PluginInfo);
}

int rk_sdk_check_media_c(void) {
  rk_core_EventParms e;
  rk_core_InitEvent(&e);
  rk_core_MediaInfoOf(&e)->codec = RK_CODEC_H264;
  return (int)rk_core_MediaInfoOfConst(&e)->codec;
}
