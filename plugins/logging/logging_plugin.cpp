// Placeholder logging plug-in.
#include "rk/core/sdk.h"
RK_PLUGIN_EXPORT int32_t Load(const rk_core_LoadParams*, rk_core_PluginInfo* info) {
  info->pluginId = RK_ID_NONE;
  info->acceptLog = RK_ACCEPT_LIVE;
  return 0;
}
RK_PLUGIN_EXPORT int32_t Unload(const rk_core_UnloadParams*, rk_core_UnloadResult*) { return 0; }
RK_PLUGIN_EXPORT int32_t Open(const rk_core_OpenParams*, rk_core_OpenResult*) { return 0; }
RK_PLUGIN_EXPORT int32_t Close(const rk_core_CloseParams*, rk_core_CloseResult*) { return 0; }
RK_PLUGIN_EXPORT uint8_t OnEvent(const rk_core_EventParms*, const rk_core_EventParms*) { return 0; }
