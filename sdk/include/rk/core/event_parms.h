/*
 * The event record shared by the core and every plug-in.
 *
 * Every event is one fixed 224-byte little-endian record: a 56-byte common
 * part and a 168-byte derived part. The layout is a binary contract between
 * separately built libraries; offsets and sizes below never change.
 *
 * Ownership: a record and its payload (`data`) belong to whoever passes them,
 * for the duration of the call. The core copies both before the post callback
 * returns. A record the core hands to a plug-in is valid only during the call;
 * its payload may be kept beyond it only by answering "keep" and later posting
 * a decref record (RK_TYPE_DECREF) carrying the same `data` pointer.
 *
 * Usable from C (plain structs, RK_* constants) and C++ (namespace rk::core,
 * class tree of typed records). Needs nothing beyond the standard headers.
 */
#ifndef RK_CORE_EVENT_PARMS_H
#define RK_CORE_EVENT_PARMS_H

/* Laid out by hand: the field comments give offsets and sizes. */
/* clang-format off */

#ifdef __cplusplus
#include <cstddef>
#include <cstdint>
#else
#include <stddef.h>
#include <stdint.h>
#endif

/* Type codes (`type`): one bit, optionally or-ed with RK_TYPE_MODIFIER. */
enum {
  RK_TYPE_UNSPECIFIED = 0,
  RK_TYPE_VIDEO = 1,
  RK_TYPE_AUDIO = 2,
  RK_TYPE_ALARM = 4,
  RK_TYPE_PTZ = 8,
  RK_TYPE_SERIAL = 16,
  RK_TYPE_WATCHDOG = 32,
  RK_TYPE_LOG = 64,
  RK_TYPE_CONFIG = 256,
  RK_TYPE_DECREF = 512,   /* control: release a kept payload */
  RK_TYPE_POS = 1024,
  RK_TYPE_CANCEL = 4096,  /* control: cancel a search, or ask (flag RK_FLAG_QUERY) */
  RK_TYPE_MODIFIER = 0x4000,
  RK_TYPE_IPC = 8192,     /* control: bytes for the parent daemon */
  RK_TYPE_CRYPTO = 32768, /* control: data-protection request */
  RK_TYPE_ANALYTIC = 65536
};

/* Flag bits (`flags`): class bits 24..26 and per-type bits 0..23. */
#define RK_FLAG_LIVE 0x1000000ULL    /* a live event */
#define RK_FLAG_ACCEPTS 0x2000000ULL /* accept words only: takes live events of the kind */
#define RK_FLAG_STORED 0x4000000ULL  /* stored data; in accept words: provides it */
#define RK_FLAG_QUERY 0x1ULL         /* log: ask own threshold; cancel: ask state */
#define RK_FLAG_CONSOLE 0x2ULL       /* log: the core also prints the line */
#define RK_FLAG_XML 0x10ULL          /* core-made XML documents; config deltas */

/* Crypto operations (low 24 bits of `flags` on a crypto record). */
#define RK_CRYPTO_PROTECT 2ULL
#define RK_CRYPTO_UNPROTECT 1024ULL

/* Results of the post callback besides 0 (accepted). */
#define RK_POST_OK 0U
#define RK_POST_REFUSED 1U
#define RK_POST_THROTTLED 5U

/* Crypto results besides 0 (done) and "bytes needed". */
#define RK_CRYPTO_BAD_OPERATION 0xFFFFFFFFU
#define RK_CRYPTO_BAD_LENGTH 0xFFFFFFFEU
#define RK_CRYPTO_EMPTY_RESULT 0xFFFFFFF3U

/* Id words (`source`, `request`, a plug-in's own id). */
#define RK_ID_NONE 0x80000000ULL
#define RK_ID_WORD(pluginId) ((uint64_t)((pluginId)&0xFF) << 16)

/* Media flag: the video or audio record goes in the output direction. */
#define RK_MEDIA_OUTPUT 0x20

#define RK_EVENT_SIZE 224
#define RK_EVENT_VERSION 1
#define RK_EVENT_PART_SIZE 168
#define RK_EVENT_PART_VERSION 1

/* Derived part of video and audio records, offsets 64..83. */
typedef struct rk_core_MediaPart {
  uint64_t reserved;     /* 64: belongs to sender and receiver */
  uint64_t seconds;      /* 72: time stamp, whole seconds */
  uint16_t milliseconds; /* 80: milliseconds within that second */
  uint8_t frameType;     /* 82: low two bits == 1 mark a key frame */
  uint8_t mediaFlags;    /* 83: RK_MEDIA_OUTPUT */
} rk_core_MediaPart;

typedef struct rk_core_EventParms {
  uint32_t size;         /* 0: 224 */
  uint32_t version;      /* 4: 1 */
  uint32_t length;       /* 8: payload bytes, 0 = none */
  uint32_t reserved12;   /* 12: zero, never read */
  const void* data;      /* 16: payload; owned by the sender */
  uint64_t source;       /* 24: sender's id word */
  uint64_t request;      /* 32: search id / addressed plug-in (low 32 bits) */
  uint64_t type;         /* 40: type code */
  uint64_t flags;        /* 48: class and per-type bits */
  uint32_t partSize;     /* 56: 168 */
  uint32_t partVersion;  /* 60: 1 */
  union {                /* 64..223: by class */
    uint8_t derived[160];
    uint64_t level;        /* log: severity, low 32 bits signed */
    uint64_t echoToSource; /* config, analytic: deliver back to the sender */
    rk_core_MediaPart media;
  };
} rk_core_EventParms;

#ifdef __cplusplus
static_assert(sizeof(rk_core_EventParms) == 224, "event record is 224 bytes");
static_assert(offsetof(rk_core_EventParms, length) == 8, "length");
static_assert(offsetof(rk_core_EventParms, data) == 16, "data");
static_assert(offsetof(rk_core_EventParms, source) == 24, "source");
static_assert(offsetof(rk_core_EventParms, request) == 32, "request");
static_assert(offsetof(rk_core_EventParms, type) == 40, "type");
static_assert(offsetof(rk_core_EventParms, flags) == 48, "flags");
static_assert(offsetof(rk_core_EventParms, partSize) == 56, "partSize");
static_assert(offsetof(rk_core_EventParms, partVersion) == 60, "partVersion");
static_assert(offsetof(rk_core_EventParms, level) == 64, "level");
static_assert(offsetof(rk_core_EventParms, echoToSource) == 64, "echoToSource");
static_assert(offsetof(rk_core_EventParms, media) + offsetof(rk_core_MediaPart, seconds) == 72,
              "seconds");
static_assert(offsetof(rk_core_EventParms, media) + offsetof(rk_core_MediaPart, milliseconds) == 80,
              "milliseconds");
static_assert(offsetof(rk_core_EventParms, media) + offsetof(rk_core_MediaPart, frameType) == 82,
              "frameType");
static_assert(offsetof(rk_core_EventParms, media) + offsetof(rk_core_MediaPart, mediaFlags) == 83,
              "mediaFlags");
#else
_Static_assert(sizeof(rk_core_EventParms) == 224, "event record is 224 bytes");
_Static_assert(offsetof(rk_core_EventParms, data) == 16, "data");
_Static_assert(offsetof(rk_core_EventParms, flags) == 48, "flags");
_Static_assert(offsetof(rk_core_EventParms, level) == 64, "level");
#endif

/* Fills size and version words and zeroes everything else. */
static inline void rk_core_InitEvent(rk_core_EventParms* e) {
  unsigned char* p = (unsigned char*)e;
  for (size_t i = 0; i < sizeof *e; ++i) p[i] = 0;
  e->size = RK_EVENT_SIZE;
  e->version = RK_EVENT_VERSION;
  e->partSize = RK_EVENT_PART_SIZE;
  e->partVersion = RK_EVENT_PART_VERSION;
}

/* Source index 0..255: 0 for RK_ID_NONE, else bits 16-23. */
static inline uint32_t rk_core_SourceIndex(uint64_t idWord) {
  return idWord == RK_ID_NONE ? 0u : (uint32_t)((idWord >> 16) & 0xFF);
}

/* Plugin key: RK_ID_NONE stays, anything else keeps bits 16-23 only. */
static inline uint64_t rk_core_PluginKey(uint64_t idWord) {
  return idWord == RK_ID_NONE ? RK_ID_NONE : (idWord & 0xFF0000ULL);
}

#ifdef __cplusplus
namespace rk::core {

using EventParms = ::rk_core_EventParms;
using MediaPart = ::rk_core_MediaPart;

inline constexpr uint64_t kIdNone = RK_ID_NONE;
inline constexpr uint64_t kLive = RK_FLAG_LIVE;
inline constexpr uint64_t kAccepts = RK_FLAG_ACCEPTS;
inline constexpr uint64_t kStored = RK_FLAG_STORED;
inline constexpr uint64_t kModifier = RK_TYPE_MODIFIER;

constexpr uint32_t SourceIndex(uint64_t idWord) {
  return idWord == kIdNone ? 0u : static_cast<uint32_t>((idWord >> 16) & 0xFF);
}
constexpr uint64_t PluginKey(uint64_t idWord) {
  return idWord == kIdNone ? kIdNone : (idWord & 0xFF0000ULL);
}
constexpr bool SamePlugin(uint64_t a, uint64_t b) { return PluginKey(a) == PluginKey(b); }
constexpr uint64_t BaseType(const EventParms& e) { return e.type & ~kModifier; }
constexpr bool IsLive(const EventParms& e) { return (e.flags & kLive) != 0; }
constexpr bool IsStored(const EventParms& e) { return (e.flags & kStored) != 0; }
/* Meaningful only when `type` is exactly video or audio. */
constexpr bool IsOutput(const EventParms& e) { return (e.media.mediaFlags & RK_MEDIA_OUTPUT) != 0; }

inline void InitEvent(EventParms& e) { rk_core_InitEvent(&e); }

/* Typed records: same 224 bytes; the constructor sets size, version, type and
 * class bit and zeroes the rest. A is the class bit, B the type bit. */
template <uint32_t A, uint32_t B>
struct TypedEvt : EventParms {
  static constexpr uint64_t kClass = A;
  static constexpr uint64_t kType = B;
  TypedEvt() : EventParms() {
    rk_core_InitEvent(this);
    type = B;
    flags = A;
  }
};

template <uint32_t A, uint32_t B>
struct XmlEvt : TypedEvt<A, B> {};
template <uint32_t A, uint32_t B>
struct TxtEvt : TypedEvt<A, B> {};
template <uint32_t A, uint32_t B = RK_TYPE_VIDEO>
struct VideoBase : TypedEvt<A, B> {};
template <uint32_t A, uint32_t B = RK_TYPE_AUDIO>
struct AudioBase : TypedEvt<A, B> {};

inline constexpr uint32_t kLiveClass = 16777216;   // 0x1000000
inline constexpr uint32_t kStoredClass = 67108864; // 0x4000000

struct VideoEvt : VideoBase<kLiveClass, RK_TYPE_VIDEO> {};
struct VideoOutEvt : VideoEvt {
  VideoOutEvt() { media.mediaFlags = RK_MEDIA_OUTPUT; }
};
struct StoredVideoEvt : VideoBase<kStoredClass, RK_TYPE_VIDEO> {};
struct AudioEvt : AudioBase<kLiveClass, RK_TYPE_AUDIO> {};
struct AudioOutEvt : AudioEvt {
  AudioOutEvt() { media.mediaFlags = RK_MEDIA_OUTPUT; }
};
struct StoredAudioEvt : AudioBase<kStoredClass, RK_TYPE_AUDIO> {};
struct AlarmEvt : XmlEvt<kLiveClass, RK_TYPE_ALARM> {};
struct StoredAlarmEvt : XmlEvt<kStoredClass, RK_TYPE_ALARM> {};
struct PTZEvt : XmlEvt<kLiveClass, RK_TYPE_PTZ> {};
struct SerialEvt : TxtEvt<kLiveClass, RK_TYPE_SERIAL> {};
struct WatchdogEvt : TypedEvt<kLiveClass, RK_TYPE_WATCHDOG> {};
struct LogEvt : TxtEvt<kLiveClass, RK_TYPE_LOG> {};
struct StoredLogEvt : XmlEvt<kStoredClass, RK_TYPE_LOG> {};
struct ConfigEvt : XmlEvt<kLiveClass, RK_TYPE_CONFIG> {};
struct POSEvt : TxtEvt<kLiveClass, RK_TYPE_POS> {};
struct StoredPOSEvt : XmlEvt<kStoredClass, RK_TYPE_POS> {};
struct AnalyticEvt : XmlEvt<kLiveClass, RK_TYPE_ANALYTIC> {};
struct StoredAnalyticEvt : XmlEvt<kStoredClass, RK_TYPE_ANALYTIC> {};

static_assert(sizeof(VideoOutEvt) == 224 && sizeof(StoredAnalyticEvt) == 224 &&
                  sizeof(WatchdogEvt) == 224 && sizeof(AudioOutEvt) == 224,
              "typed records add nothing to the 224 bytes");

} // namespace rk::core
#endif

/* clang-format on */

#endif /* RK_CORE_EVENT_PARMS_H */
