/* Everything a plug-in needs: the event record, the media conventions and the
 * plug-in interface. */
#ifndef RK_CORE_SDK_H
#define RK_CORE_SDK_H
#include "rk/core/event_parms.h"
#include "rk/core/media.h"
#include "rk/core/plugin_api.h"
#endif
