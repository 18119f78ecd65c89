/*
 * Media conventions: what camera drivers, recorders and viewers from different
 * authors agree on. The core never reads payloads or the derived area; these
 * layouts exist so that plug-ins can work together.
 *
 * Video and audio payloads: one access unit per record. H.264 and H.265 in
 * Annex B byte-stream form, every key frame carrying its parameter sets
 * (VPS/SPS/PPS) in-band, so that any key frame starts a decodable stream. AAC
 * as ADTS frames, G.711 as raw samples. `media.frameType` low two bits == 1
 * mark a key frame; `media.seconds`/`media.milliseconds` hold the capture time
 * (UTC).
 *
 * The media description lives in the derived area after the media part
 * (record offsets 88..119); bytes 84..87 and 120..223 stay zero.
 *
 * A media search: the request payload is rk_core_MediaSearch. A provider
 * answers in time order, then posts one end record (stored class, the media
 * type it served, no payload, RK_MEDIA_INFO_END set), also when it found
 * nothing, unless the search was cancelled. A payload of another size or
 * version is not a media search: providers ignore it.
 *
 * Camera state: a live alarm whose payload is
 *   <?xml version="1.0"?><Varn><Camera Number="1" Name="gate" State="online"/></Varn>
 * (State "online" or "offline"; an offline one adds Reason="...").
 */
#ifndef RK_CORE_MEDIA_H
#define RK_CORE_MEDIA_H

/* Laid out by hand: the field comments give offsets and sizes. */
/* clang-format off */

#include "rk/core/event_parms.h"

/* Codecs (`codec` of the media description). */
enum {
  RK_CODEC_NONE = 0,
  RK_CODEC_H264 = 1,
  RK_CODEC_H265 = 2,
  RK_CODEC_MJPEG = 3,
  RK_CODEC_AAC = 16,
  RK_CODEC_G711U = 17, /* mu-law */
  RK_CODEC_G711A = 18, /* A-law */
  RK_CODEC_OPUS = 19
};

/* `mediaInfoFlags`: the end of a search's results (a record without payload). */
#define RK_MEDIA_INFO_END 0x1U

/* Key frame: the low two bits of `media.frameType`. */
#define RK_FRAME_KEY 1U
#define RK_FRAME_TYPE_MASK 3U

/* Offsets of the media description within the 224-byte record. */
#define RK_MEDIA_INFO_OFFSET 88

typedef struct rk_core_MediaInfo {
  uint32_t camera;         /* 88: 1-65535, the camera's number within the sender */
  uint32_t codec;          /* 92: RK_CODEC_* */
  uint16_t width;          /* 96: pixels; 0 for audio */
  uint16_t height;         /* 98: pixels; 0 for audio */
  uint32_t mediaInfoFlags; /* 100: RK_MEDIA_INFO_END; other bits zero */
  int64_t pts;             /* 104: 90 kHz for video, the sample rate for audio */
  int64_t captureMicros;   /* 112: capture time, microseconds since the epoch, UTC */
} rk_core_MediaInfo;

/* Search criteria for media: the request payload of a media search. */
#define RK_MEDIA_SEARCH_SIZE 32
#define RK_MEDIA_SEARCH_VERSION 1
#define RK_MEDIA_KIND_VIDEO 0x1U
#define RK_MEDIA_KIND_AUDIO 0x2U
#define RK_MEDIA_KIND_ALARMS 0x4U

typedef struct rk_core_MediaSearch {
  uint32_t size;       /* 0: 32 */
  uint32_t version;    /* 4: 1 */
  uint32_t camera;     /* 8: 0 = every camera */
  uint32_t kinds;      /* 12: RK_MEDIA_KIND_* */
  int64_t fromMicros;  /* 16: UTC, microseconds since the epoch */
  int64_t toMicros;    /* 24: UTC, microseconds since the epoch */
} rk_core_MediaSearch;

#ifdef __cplusplus
static_assert(sizeof(rk_core_MediaInfo) == 32, "media description is 32 bytes");
static_assert(offsetof(rk_core_MediaInfo, camera) == 88 - RK_MEDIA_INFO_OFFSET, "camera");
static_assert(offsetof(rk_core_MediaInfo, codec) == 92 - RK_MEDIA_INFO_OFFSET, "codec");
static_assert(offsetof(rk_core_MediaInfo, width) == 96 - RK_MEDIA_INFO_OFFSET, "width");
static_assert(offsetof(rk_core_MediaInfo, height) == 98 - RK_MEDIA_INFO_OFFSET, "height");
static_assert(offsetof(rk_core_MediaInfo, mediaInfoFlags) == 100 - RK_MEDIA_INFO_OFFSET,
              "mediaInfoFlags");
static_assert(offsetof(rk_core_MediaInfo, pts) == 104 - RK_MEDIA_INFO_OFFSET, "pts");
static_assert(offsetof(rk_core_MediaInfo, captureMicros) == 112 - RK_MEDIA_INFO_OFFSET,
              "captureMicros");
static_assert(RK_MEDIA_INFO_OFFSET + sizeof(rk_core_MediaInfo) <= sizeof(rk_core_EventParms),
              "inside the record");
static_assert(sizeof(rk_core_MediaSearch) == RK_MEDIA_SEARCH_SIZE, "media search is 32 bytes");
static_assert(offsetof(rk_core_MediaSearch, camera) == 8, "camera");
static_assert(offsetof(rk_core_MediaSearch, kinds) == 12, "kinds");
static_assert(offsetof(rk_core_MediaSearch, fromMicros) == 16, "fromMicros");
static_assert(offsetof(rk_core_MediaSearch, toMicros) == 24, "toMicros");
#else
_Static_assert(sizeof(rk_core_MediaInfo) == 32, "media description is 32 bytes");
_Static_assert(offsetof(rk_core_MediaInfo, captureMicros) == 24, "captureMicros");
_Static_assert(sizeof(rk_core_MediaSearch) == RK_MEDIA_SEARCH_SIZE, "media search is 32 bytes");
#endif

/* The media description of a record, read and written in place (the derived
 * area is 8-byte aligned, so the pointer is properly aligned). */
static inline rk_core_MediaInfo* rk_core_MediaInfoOf(rk_core_EventParms* e) {
  return (rk_core_MediaInfo*)((unsigned char*)e + RK_MEDIA_INFO_OFFSET);
}
static inline const rk_core_MediaInfo* rk_core_MediaInfoOfConst(const rk_core_EventParms* e) {
  return (const rk_core_MediaInfo*)((const unsigned char*)e + RK_MEDIA_INFO_OFFSET);
}

/* Nonzero when the payload is a media search this header describes. */
static inline int rk_core_IsMediaSearch(const void* data, uint32_t length) {
  const rk_core_MediaSearch* s = (const rk_core_MediaSearch*)data;
  return data != NULL && length == RK_MEDIA_SEARCH_SIZE && s->size == RK_MEDIA_SEARCH_SIZE &&
         s->version == RK_MEDIA_SEARCH_VERSION;
}

#ifdef __cplusplus
namespace rk::core {
using MediaInfo = ::rk_core_MediaInfo;
using MediaSearch = ::rk_core_MediaSearch;

inline MediaInfo& MediaInfoOf(EventParms& e) { return *rk_core_MediaInfoOf(&e); }
inline const MediaInfo& MediaInfoOf(const EventParms& e) { return *rk_core_MediaInfoOfConst(&e); }
constexpr bool IsKeyFrame(const EventParms& e) {
  return (e.media.frameType & RK_FRAME_TYPE_MASK) == RK_FRAME_KEY;
}
inline bool IsMediaSearch(const void* data, uint32_t length) {
  return rk_core_IsMediaSearch(data, length) != 0;
}
inline MediaSearch MakeMediaSearch(uint32_t camera, uint32_t kinds, int64_t fromMicros,
                                   int64_t toMicros) {
  return MediaSearch{RK_MEDIA_SEARCH_SIZE, RK_MEDIA_SEARCH_VERSION, camera, kinds, fromMicros,
                     toMicros};
}
} // namespace rk::core
#endif

/* clang-format on */

#endif /* RK_CORE_MEDIA_H */
