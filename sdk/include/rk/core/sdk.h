/* Everything a plug-in needs: the event record, the shared ids and constants,
 * the media conventions, the IPC packet and the plug-in interface. */
#ifndef RK_CORE_SDK_H
#define RK_CORE_SDK_H
#include "rk/core/core_ids.h"
#include "rk/core/event_parms.h"
#include "rk/core/ipc_packet.h"
#include "rk/core/media.h"
#include "rk/core/plugin_api.h"
#endif
