/*
 * Names for the ids, files, levels and flag combinations the core and
 * plug-ins share. Every value here is part of the contract between separately
 * built libraries; none of them ever changes.
 */
#ifndef RK_CORE_CORE_IDS_H
#define RK_CORE_CORE_IDS_H

#include "rk/core/event_parms.h"

/* Plug-in ids (bits 16-23 of an id word) with a meaning of their own. */
#define RK_ID_CORE 0        /* source index of the core (and of plug-in 0) */
#define RK_ID_LOGGING 1     /* the logging plug-in; no one else may take it */
#define RK_ID_OPENS_FIRST 6 /* opened before every other plug-in */
#define RK_ID_CLOSES_LATE 8 /* no close line; closed when its last search lets go */

/* The logging plug-in's file, in "plugins/" beside the core. */
#define RK_LOGGING_PLUGIN_FILE "RuzUZ.so"
/* Library paths containing this text load before all others. */
#define RK_LOADS_FIRST_MARK "vIDUvi"

/* The core's id as the status document and the memory event write it
 * (RK_ID_NONE read as a signed 32-bit number). */
#define RK_CORE_DOCUMENT_ID "-2147483648"

/* Log levels (`level` of a log record, low 32 bits signed); larger is graver. */
#define RK_LOG_DEBUG 0
#define RK_LOG_INFO 25
#define RK_LOG_WARNING 50
#define RK_LOG_ERROR 75
#define RK_LOG_CRITICAL 100
#define RK_LOG_LEVEL_UNSET (-1) /* a stored threshold meaning "the default", Info */

/* Flags of the core's own XML documents: a live record carrying XML. */
#define RK_FLAGS_LIVE_XML (RK_FLAG_LIVE | RK_FLAG_XML)

#ifdef __cplusplus
namespace rk::core {
inline constexpr uint32_t kIdCore = RK_ID_CORE;
inline constexpr uint32_t kIdLogging = RK_ID_LOGGING;
inline constexpr uint32_t kIdOpensFirst = RK_ID_OPENS_FIRST;
inline constexpr uint32_t kIdClosesLate = RK_ID_CLOSES_LATE;
inline constexpr const char* kLoggingPluginFile = RK_LOGGING_PLUGIN_FILE;
inline constexpr const char* kLoadsFirstMark = RK_LOADS_FIRST_MARK;
inline constexpr const char* kCoreDocumentId = RK_CORE_DOCUMENT_ID;
inline constexpr uint64_t kLiveXml = RK_FLAGS_LIVE_XML;
} // namespace rk::core
#endif

#endif /* RK_CORE_CORE_IDS_H */
