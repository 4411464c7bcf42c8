// Byte-level helpers shared by the protocol and the module simulator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ostrel {

// 8-bit sum and exclusive-or, as the module reports them for a 64 KiB block.
uint8_t sum8(std::span<const uint8_t> bytes);
uint8_t xor8(std::span<const uint8_t> bytes);

// A CommandPacket: byte 0 is 0x80 | N, bytes 1..N the command and its
// parameters, byte N+1 the 8-bit sum of bytes 0..N.
std::vector<uint8_t> buildFrame(std::span<const uint8_t> commandAndParams);
// Length a framed message must have, read from byte 0 (low seven bits only).
inline size_t frameLength(uint8_t byte0) {
  return size_t(byte0 & 0x7F) + 2;
}
// True when bytes holds exactly one frame with a correct checksum.
bool frameValid(std::span<const uint8_t> bytes);

}  // namespace ostrel
