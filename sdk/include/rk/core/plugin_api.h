/*
 * The plug-in binary interface: the records passed to each entry point, the
 * accept words, the IOCTL codes and the entry point signatures.
 *
 * Every record starts with a u32 size and a u32 version. The core fills both in
 * every record it passes and never checks the ones a plug-in fills. Records are
 * owned by the caller and valid only during the call, except PluginInfo, which
 * lives inside the core from Load until the plug-in is unloaded; the core reads
 * it again whenever it routes an event or starts a search.
 *
 * Threads (who calls what):
 *   Load, Open, Close, Unload   main thread, one plug-in at a time
 *   IOCTL code 1                the plug-in's own worker thread, once
 *   Read (reader mode)          the plug-in's own reader thread, once
 *   OnEvent / Write / IOCTL 2   the dispatch thread (log records also from any
 *                               thread while the core stops)
 *   OnSearch / Read (search)    one search thread per search
 *   OnIpcResult / IOCTL 4       the I/O thread, until Unload
 * A plug-in must accept calls from several of these at once.
 */
#ifndef RK_CORE_PLUGIN_API_H
#define RK_CORE_PLUGIN_API_H

/* Laid out by hand: the field comments give offsets and sizes. */
/* clang-format off */

#include "rk/core/event_parms.h"

/* Accept word bits, one word per kind in PluginInfo. */
#define RK_ACCEPT_LIVE RK_FLAG_ACCEPTS /* takes live events of the kind */
#define RK_ACCEPT_STORED RK_FLAG_STORED /* provides stored data of the kind */

/* IOCTL codes. */
#define RK_IOCTL_WORKER 1u /* on the worker thread; return when the work is over */
#define RK_IOCTL_CONFIG 2u /* config event for a plug-in without OnEvent */
#define RK_IOCTL_IPC 4u    /* IPC packet for a plug-in without OnIpcResult */

/* Load and open codes recorded by the core. */
#define RK_LOAD_OK 0
#define RK_LOAD_DLOPEN_FAILED 79
#define RK_LOAD_MISSING_ENTRY (-101)
#define RK_OPEN_MISSING_ENTRY (-102)

/* Post event callback: pass a complete 224-byte record. Returns 0 when
 * accepted, 1 refused, 5 throttled, or a query's answer. Callable from any
 * thread, from the start of Load on, also from inside entry points. */
typedef uint32_t (*rk_core_PostEventFn)(rk_core_EventParms* event);

typedef struct rk_core_LoadParams { /* version 4 */
  uint32_t size;                    /* 40 */
  uint32_t version;                 /* 4 */
  uint64_t reserved8;
  rk_core_PostEventFn postEvent; /* 16: the same for every plug-in */
  const char* hostId;            /* 24: NUL-terminated host identifier */
  uint32_t hostIdLength;         /* 32: without the NUL */
  uint32_t reserved36;
} rk_core_LoadParams;

typedef struct rk_core_PluginInfo { /* version 3; filled by Load */
  uint32_t size;                    /* 112 */
  uint32_t version;                 /* 3 */
  uint64_t pluginId;                /* 8: id word; RK_ID_NONE = no id */
  uint64_t acceptVideo;             /* 16 */
  uint64_t acceptAudio;             /* 24 */
  uint64_t acceptAlarm;             /* 32 */
  uint64_t acceptPtz;               /* 40 */
  uint64_t acceptSerial;            /* 48 */
  uint64_t acceptWatchdog;          /* 56: orders closing, not routing */
  uint64_t acceptLog;               /* 64 */
  uint64_t acceptConfig;            /* 72: not read by the core */
  uint64_t acceptPos;               /* 80 */
  uint64_t acceptAnalytic;          /* 88 */
  uint8_t workerFlag;               /* 96: wants a worker thread (IOCTL 1) */
  uint8_t reserved97;
  uint8_t readerFlag;               /* 98: Read may be used */
  uint8_t writeFlag;                /* 99: Write may be used for events */
  uint8_t reserved100[12];
} rk_core_PluginInfo;

typedef struct rk_core_OpenParams { /* version 1 */
  uint32_t size;                    /* 24 */
  uint32_t version;
  uint64_t reserved8;
  uint32_t reserved16;
  uint32_t reserved20;
} rk_core_OpenParams;

typedef struct rk_core_OpenResult { /* version 1; not read by the core */
  uint32_t size;                    /* 16 */
  uint32_t version;
  uint64_t reserved8;
} rk_core_OpenResult;

typedef struct rk_core_CloseParams { /* version 1 */
  uint32_t size;                     /* 12 */
  uint32_t version;
  uint32_t reserved8;
} rk_core_CloseParams;
typedef rk_core_CloseParams rk_core_CloseResult; /* not read */

typedef struct rk_core_UnloadParams { /* version 1 */
  uint32_t size;                      /* 8 */
  uint32_t version;
} rk_core_UnloadParams;

typedef struct rk_core_UnloadResult { /* version 1; not read */
  uint32_t size;                      /* 12 */
  uint32_t version;
  uint32_t reserved8;
} rk_core_UnloadResult;

typedef struct rk_core_ReadParams { /* version 1 */
  uint32_t size;                    /* 40 */
  uint32_t version;
  uint32_t reserved8;
  uint32_t mode;                    /* 12: always 1 */
  uint32_t length;                  /* 16: search request length; reader: 0 */
  uint32_t reserved20;
  const void* data;                 /* 24: search request payload; reader: null */
  uint64_t request;                 /* 32: search id word; reader: 0 */
} rk_core_ReadParams;

typedef struct rk_core_WriteParams { /* version 1 */
  uint32_t size;                     /* 232 */
  uint32_t version;
  uint64_t reserved8;
  /* 16..231: bytes 8..223 of the event record */
  uint32_t length;     /* 16 */
  uint32_t reserved20; /* 20 */
  const void* data;    /* 24 */
  uint64_t source;     /* 32 */
  uint64_t request;    /* 40 */
  uint64_t type;       /* 48 */
  uint64_t flags;      /* 56 */
  uint32_t partSize;   /* 64 */
  uint32_t partVersion;
  uint8_t derived[160]; /* 72 */
} rk_core_WriteParams;

typedef struct rk_core_WriteResult { /* version 1 */
  uint32_t size;                     /* 32 */
  uint32_t version;
  uint8_t reserved8[20];
  uint32_t keep; /* 28: nonzero = the plug-in keeps a payload reference */
} rk_core_WriteResult;

typedef struct rk_core_IoctlParams { /* version 1 */
  uint32_t size;                     /* 40 */
  uint32_t version;
  uint32_t code;       /* 8 */
  uint32_t reserved12;
  uint64_t reserved16;
  uint32_t length;     /* 24: codes 2 and 4 */
  uint32_t reserved28;
  const void* data;    /* 32: codes 2 and 4 */
} rk_core_IoctlParams;

typedef struct rk_core_IoctlResult { /* version 1 */
  uint32_t size;                     /* 28 */
  uint32_t version;
  uint32_t code;       /* 8 */
  uint32_t reserved12;
  uint32_t keep;       /* 16: code 2: nonzero = keep a payload reference */
  uint8_t reserved20[8];
} rk_core_IoctlResult;

/* Entry points, exported with C linkage under exactly these names. */
typedef int32_t (*rk_core_LoadFn)(const rk_core_LoadParams*, rk_core_PluginInfo*);
typedef int32_t (*rk_core_UnloadFn)(const rk_core_UnloadParams*, rk_core_UnloadResult*);
typedef int32_t (*rk_core_OpenFn)(const rk_core_OpenParams*, rk_core_OpenResult*);
typedef int32_t (*rk_core_CloseFn)(const rk_core_CloseParams*, rk_core_CloseResult*);
typedef int32_t (*rk_core_OnIpcResultFn)(const void* packet, uint32_t length);
/* Only the low byte of the answer is read: nonzero = keep the payload. */
typedef uint8_t (*rk_core_OnEventFn)(const rk_core_EventParms*, const rk_core_EventParms*);
typedef int32_t (*rk_core_OnSearchFn)(const rk_core_EventParms*, const rk_core_EventParms*);
typedef int32_t (*rk_core_ReadFn)(const rk_core_ReadParams*, void* unused);
typedef int32_t (*rk_core_WriteFn)(const rk_core_WriteParams*, rk_core_WriteResult*, uint64_t type);
typedef int32_t (*rk_core_IoctlFn)(const rk_core_IoctlParams*, rk_core_IoctlResult*);

#ifdef __cplusplus
#define RK_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))
#else
#define RK_PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
static_assert(sizeof(rk_core_LoadParams) == 40, "LoadParams");
static_assert(offsetof(rk_core_LoadParams, postEvent) == 16, "postEvent");
static_assert(offsetof(rk_core_LoadParams, hostId) == 24, "hostId");
static_assert(offsetof(rk_core_LoadParams, hostIdLength) == 32, "hostIdLength");
static_assert(sizeof(rk_core_PluginInfo) == 112, "PluginInfo");
static_assert(offsetof(rk_core_PluginInfo, pluginId) == 8, "pluginId");
static_assert(offsetof(rk_core_PluginInfo, acceptVideo) == 16, "acceptVideo");
static_assert(offsetof(rk_core_PluginInfo, acceptWatchdog) == 56, "acceptWatchdog");
static_assert(offsetof(rk_core_PluginInfo, acceptLog) == 64, "acceptLog");
static_assert(offsetof(rk_core_PluginInfo, acceptConfig) == 72, "acceptConfig");
static_assert(offsetof(rk_core_PluginInfo, acceptPos) == 80, "acceptPos");
static_assert(offsetof(rk_core_PluginInfo, acceptAnalytic) == 88, "acceptAnalytic");
static_assert(offsetof(rk_core_PluginInfo, workerFlag) == 96, "workerFlag");
static_assert(offsetof(rk_core_PluginInfo, readerFlag) == 98, "readerFlag");
static_assert(offsetof(rk_core_PluginInfo, writeFlag) == 99, "writeFlag");
static_assert(sizeof(rk_core_OpenParams) == 24, "OpenParams");
static_assert(sizeof(rk_core_OpenResult) == 16, "OpenResult");
static_assert(sizeof(rk_core_CloseParams) == 12, "CloseParams");
static_assert(sizeof(rk_core_UnloadParams) == 8, "UnloadParams");
static_assert(sizeof(rk_core_UnloadResult) == 12, "UnloadResult");
static_assert(sizeof(rk_core_ReadParams) == 40, "ReadParams");
static_assert(offsetof(rk_core_ReadParams, mode) == 12, "mode");
static_assert(offsetof(rk_core_ReadParams, length) == 16, "length");
static_assert(offsetof(rk_core_ReadParams, data) == 24, "data");
static_assert(offsetof(rk_core_ReadParams, request) == 32, "request");
static_assert(sizeof(rk_core_WriteParams) == 232, "WriteParams");
static_assert(offsetof(rk_core_WriteParams, length) == 16, "length");
static_assert(offsetof(rk_core_WriteParams, data) == 24, "data");
static_assert(offsetof(rk_core_WriteParams, source) == 32, "source");
static_assert(offsetof(rk_core_WriteParams, request) == 40, "request");
static_assert(offsetof(rk_core_WriteParams, type) == 48, "type");
static_assert(offsetof(rk_core_WriteParams, flags) == 56, "flags");
static_assert(offsetof(rk_core_WriteParams, partSize) == 64, "partSize");
static_assert(offsetof(rk_core_WriteParams, derived) == 72, "derived");
static_assert(sizeof(rk_core_WriteResult) == 32, "WriteResult");
static_assert(offsetof(rk_core_WriteResult, keep) == 28, "keep");
static_assert(sizeof(rk_core_IoctlParams) == 40, "IoctlParams");
static_assert(offsetof(rk_core_IoctlParams, code) == 8, "code");
static_assert(offsetof(rk_core_IoctlParams, length) == 24, "length");
static_assert(offsetof(rk_core_IoctlParams, data) == 32, "data");
static_assert(sizeof(rk_core_IoctlResult) == 28, "IoctlResult");
static_assert(offsetof(rk_core_IoctlResult, keep) == 16, "keep");
#else
_Static_assert(sizeof(rk_core_LoadParams) == 40, "LoadParams");
_Static_assert(sizeof(rk_core_PluginInfo) == 112, "PluginInfo");
_Static_assert(sizeof(rk_core_ReadParams) == 40, "ReadParams");
_Static_assert(sizeof(rk_core_WriteParams) == 232, "WriteParams");
_Static_assert(sizeof(rk_core_WriteResult) == 32, "WriteResult");
_Static_assert(sizeof(rk_core_IoctlParams) == 40, "IoctlParams");
_Static_assert(sizeof(rk_core_IoctlResult) == 28, "IoctlResult");
#endif

#ifdef __cplusplus
namespace rk::core {
using PostEventFn = rk_core_PostEventFn;
using LoadParams = rk_core_LoadParams;
using PluginInfo = rk_core_PluginInfo;
using OpenParams = rk_core_OpenParams;
using OpenResult = rk_core_OpenResult;
using CloseParams = rk_core_CloseParams;
using CloseResult = rk_core_CloseResult;
using UnloadParams = rk_core_UnloadParams;
using UnloadResult = rk_core_UnloadResult;
using ReadParams = rk_core_ReadParams;
using WriteParams = rk_core_WriteParams;
using WriteResult = rk_core_WriteResult;
using IoctlParams = rk_core_IoctlParams;
using IoctlResult = rk_core_IoctlResult;
using LoadFn = rk_core_LoadFn;
using UnloadFn = rk_core_UnloadFn;
using OpenFn = rk_core_OpenFn;
using CloseFn = rk_core_CloseFn;
using OnIpcResultFn = rk_core_OnIpcResultFn;
using OnEventFn = rk_core_OnEventFn;
using OnSearchFn = rk_core_OnSearchFn;
using ReadFn = rk_core_ReadFn;
using WriteFn = rk_core_WriteFn;
using IoctlFn = rk_core_IoctlFn;

// The interface version each record is handed over with.
template <typename Record>
inline constexpr uint32_t kRecordVersion = 1;
template <>
inline constexpr uint32_t kRecordVersion<LoadParams> = 4;
template <>
inline constexpr uint32_t kRecordVersion<PluginInfo> = 3;

// A zeroed record with its size and version set, as the core fills one
// before a call.
template <typename Record>
constexpr Record MakeRecord() {
  Record record{};
  record.size = sizeof(Record);
  record.version = kRecordVersion<Record>;
  return record;
}
} // namespace rk::core
#endif

/* clang-format on */

#endif /* RK_CORE_PLUGIN_API_H */
