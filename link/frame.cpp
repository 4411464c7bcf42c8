#include "link/frame.h"

namespace ostrel {

uint8_t sum8(std::span<const uint8_t> bytes) {
  // Summed mod 256 as it goes: byte lanes, 16 or more bytes an instruction.
  uint8_t s = 0;
  for (uint8_t b : bytes) s = uint8_t(s + b);
  return s;
}

uint8_t xor8(std::span<const uint8_t> bytes) {
  uint8_t x = 0;
  for (uint8_t b : bytes) x ^= b;
  return x;
}

std::vector<uint8_t> buildFrame(std::span<const uint8_t> commandAndParams) {
  std::vector<uint8_t> frame;
  frame.reserve(commandAndParams.size() + 2);
  frame.push_back(uint8_t(0x80 | (commandAndParams.size() & 0x7F)));
  frame.insert(frame.end(), commandAndParams.begin(), commandAndParams.end());
  frame.push_back(sum8(frame));
  return frame;
}

bool frameValid(std::span<const uint8_t> bytes) {
  if (bytes.size() < 2 || bytes.size() != frameLength(bytes[0])) return false;
  return sum8(bytes.first(bytes.size() - 1)) == bytes.back();
}

}  // namespace ostrel
