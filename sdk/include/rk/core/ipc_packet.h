/*
 * The packet exchanged with the parent daemon over the core's inherited
 * AF_UNIX SOCK_SEQPACKET socket, and by plug-ins through ipc records (the
 * record's payload is one whole packet, header included).
 *
 * A packet is a 16-byte little-endian header followed by its payload. The
 * header's `length` counts the header too (16..65536). `address` carries the
 * addressed plug-in's id in bits 20-27; the parent routes packets from the
 * core to plug-ins by it, and a plug-in's packet to the parent names the
 * plug-in the same way. `kind` says what the packet is: the parent's identity
 * (7) and the request to stop (8) are the core's own, every other kind is
 * between the parent and a plug-in.
 *
 * This header is the one place the layout is spelled out; everything that
 * reads or writes packets uses it. Standard headers only; C and C++.
 */
#ifndef RK_CORE_IPC_PACKET_H
#define RK_CORE_IPC_PACKET_H

/* Laid out by hand: the field comments give offsets and sizes. */
/* clang-format off */

#ifdef __cplusplus
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>
#else
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#endif

#define RK_IPC_HEADER_SIZE 16U
#define RK_IPC_MAX_PACKET 65536U          /* header included */
#define RK_IPC_KIND_PARENT_IDENTITY 7U    /* parent -> core: file, version, options */
#define RK_IPC_KIND_STOP 8U               /* parent -> core: stop */
#define RK_IPC_ADDRESS_SHIFT 20

typedef struct rk_core_IpcHeader {
  uint32_t length;     /* 0: whole packet, header included */
  uint32_t address;    /* 4: addressed plug-in id in bits 20-27 */
  uint32_t kind;       /* 8: RK_IPC_KIND_* or a plug-in's own kind */
  uint32_t reserved12; /* 12: zero */
} rk_core_IpcHeader;

#ifdef __cplusplus
static_assert(sizeof(rk_core_IpcHeader) == RK_IPC_HEADER_SIZE, "IPC header is 16 bytes");
static_assert(offsetof(rk_core_IpcHeader, address) == 4, "address");
static_assert(offsetof(rk_core_IpcHeader, kind) == 8, "kind");
#else
_Static_assert(sizeof(rk_core_IpcHeader) == RK_IPC_HEADER_SIZE, "IPC header is 16 bytes");
#endif

/* The address word naming plug-in `pluginId` (0..255). */
static inline uint32_t rk_core_IpcAddress(uint32_t pluginId) {
  return (pluginId & 0xFFU) << RK_IPC_ADDRESS_SHIFT;
}
/* The plug-in id an address word names. */
static inline uint32_t rk_core_IpcTarget(uint32_t address) {
  return (address >> RK_IPC_ADDRESS_SHIFT) & 0xFFU;
}
/* Reads a header from bytes of any alignment (at least 16 of them). */
static inline rk_core_IpcHeader rk_core_ReadIpcHeader(const void* bytes) {
  rk_core_IpcHeader header;
  memcpy(&header, bytes, sizeof header);
  return header;
}
/* Writes a header for a payload of `payloadLength` bytes to `bytes`. */
static inline void rk_core_WriteIpcHeader(void* bytes, uint32_t payloadLength, uint32_t address,
                                          uint32_t kind) {
  rk_core_IpcHeader header;
  header.length = payloadLength + RK_IPC_HEADER_SIZE;
  header.address = address;
  header.kind = kind;
  header.reserved12 = 0;
  memcpy(bytes, &header, sizeof header);
}

#ifdef __cplusplus
namespace rk::core {
using IpcHeader = ::rk_core_IpcHeader;

inline constexpr uint32_t kIpcHeaderSize = RK_IPC_HEADER_SIZE;
inline constexpr uint32_t kIpcMaxPacket = RK_IPC_MAX_PACKET;

constexpr uint32_t IpcAddress(uint32_t pluginId) { return (pluginId & 0xFFU) << RK_IPC_ADDRESS_SHIFT; }
constexpr uint32_t IpcTarget(uint32_t address) { return (address >> RK_IPC_ADDRESS_SHIFT) & 0xFFU; }
inline IpcHeader ReadIpcHeader(const void* bytes) { return rk_core_ReadIpcHeader(bytes); }

/* A whole packet: header and payload. */
inline std::vector<uint8_t> MakeIpcPacket(uint32_t kind, uint32_t address,
                                          std::string_view payload) {
  std::vector<uint8_t> bytes(RK_IPC_HEADER_SIZE + payload.size());
  rk_core_WriteIpcHeader(bytes.data(), static_cast<uint32_t>(payload.size()), address, kind);
  if (!payload.empty()) std::memcpy(bytes.data() + RK_IPC_HEADER_SIZE, payload.data(), payload.size());
  return bytes;
}
} // namespace rk::core
#endif

/* clang-format on */

#endif /* RK_CORE_IPC_PACKET_H */
