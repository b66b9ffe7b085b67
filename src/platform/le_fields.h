// Little-endian fields of the records the system exchanges with drivers and keeps in files
// (descriptor and node-connection records, the filter driver's requests, the registry's key
// files): read and written byte by byte, so that neither the host's byte order nor the alignment
// of a field matters. One set for the backends, the machine model, the USB inventory and the
// tools; the callers keep the offsets of each record in one place of their own.
#pragma once

#include <cstdint>

namespace platform::le {

// The `bytes` (1 to 8) bytes at `p` as an unsigned number.
inline uint64_t get(const uint8_t* p, unsigned bytes)
{
    uint64_t v = 0;
    for (unsigned i = bytes; i > 0; --i) v = (v << 8) | p[i - 1];
    return v;
}

// `v` into the `bytes` (1 to 8) bytes at `p`; higher bytes of `v` are dropped.
inline void put(uint8_t* p, unsigned bytes, uint64_t v)
{
    for (unsigned i = 0; i < bytes; ++i, v >>= 8) p[i] = static_cast<uint8_t>(v);
}

inline uint16_t get_u16(const uint8_t* p) { return static_cast<uint16_t>(get(p, 2)); }
inline uint32_t get_u32(const uint8_t* p) { return static_cast<uint32_t>(get(p, 4)); }
inline void put_u16(uint8_t* p, uint16_t v) { put(p, 2, v); }
inline void put_u32(uint8_t* p, uint32_t v) { put(p, 4, v); }

} // namespace platform::le
