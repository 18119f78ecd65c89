/* A minimal plug-in in C: takes live alarms, and logs a line when it is
 * opened and one with the number of alarms it saw when it is closed. */
#include <stdatomic.h>
#include <stdio.h>
#include <string.h>

#include "rk/core/sdk.h"

#define HELLO_ID RK_ID_WORD(0x71) /* plug-in id 71 */

static rk_core_PostEventFn post; /* set by Load, used from any thread */
static atomic_uint alarms;       /* OnEvent runs on the dispatch thread */

static void log_line(int32_t level, const char* text) {
  rk_core_EventParms e;
  rk_core_InitEvent(&e);
  e.type = RK_TYPE_LOG;
  e.flags = RK_FLAG_LIVE | RK_FLAG_CONSOLE; /* also printed on the core's console */
  e.source = HELLO_ID;
  e.level = (uint32_t)level;
  e.data = text;
  e.length = (uint32_t)strlen(text);
  post(&e); /* the core copies the text before it returns */
}

RK_PLUGIN_EXPORT int32_t Load(const rk_core_LoadParams* params, rk_core_PluginInfo* info) {
  post = params->postEvent;
  info->pluginId = HELLO_ID;
  info->acceptAlarm = RK_ACCEPT_LIVE;
  return 0; /* anything else: the core drops the plug-in */
}

RK_PLUGIN_EXPORT int32_t Unload(const rk_core_UnloadParams* params, rk_core_UnloadResult* result) {
  (void)params;
  (void)result;
  return 0;
}

RK_PLUGIN_EXPORT int32_t Open(const rk_core_OpenParams* params, rk_core_OpenResult* result) {
  (void)params;
  (void)result;
  log_line(25, "hello_c: open");
  return 0;
}

RK_PLUGIN_EXPORT int32_t Close(const rk_core_CloseParams* params, rk_core_CloseResult* result) {
  char text[64];
  (void)params;
  (void)result;
  snprintf(text, sizeof text, "hello_c: %u alarm(s) seen", atomic_load(&alarms));
  log_line(25, text);
  return 0;
}

RK_PLUGIN_EXPORT uint8_t OnEvent(const rk_core_EventParms* e, const rk_core_EventParms* same) {
  (void)same;
  if ((e->type & ~(uint64_t)RK_TYPE_MODIFIER) == RK_TYPE_ALARM) atomic_fetch_add(&alarms, 1);
  return 0; /* not keeping the payload: the core releases it */
}
