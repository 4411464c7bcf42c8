// The command bytes of the module link. Ostrel I and II take framed commands
// (0x80 | N, code, parameters, checksum) and answer with code + 0x40; Ostrel
// III and IV take raw commands, a code byte followed by its operands.
#pragma once

#include <cstdint>

namespace ostrel::Cmd {

// Framed codes (Ostrel I and II).
inline constexpr uint8_t SelectSector = 0x01;  // sector number, low 8 bits
inline constexpr uint8_t Cycle2 = 0x02;        // second selection byte / flash command cycle
inline constexpr uint8_t Cycle3 = 0x03;        // flash command-cycle bytes of the erases
inline constexpr uint8_t Cycle4 = 0x04;
inline constexpr uint8_t Cycle5 = 0x05;
inline constexpr uint8_t WriteBlock = 0x10;  // FF FF, then 64 KiB of raw data
inline constexpr uint8_t ReadBlock = 0x20;   // FF FF, then the block comes in block mode
inline constexpr uint8_t Check = 0x30;       // whole-flash check, one checksum reply a sector
inline constexpr uint8_t Presence = 0x70;
inline constexpr uint8_t EndOfConnection = 0x90;  // never answered
inline constexpr uint8_t DataCheck = 0x7F;        // reply: sum and xor of the 64 KiB just moved
inline constexpr uint8_t ReadTrigger = 0x00;      // one raw byte: send the next part of a block
inline constexpr uint8_t IdentifyProbe = 0x80;    // one raw byte, on every generation

// The code a framed reply to `code` carries.
constexpr uint8_t replyTo(uint8_t code) {
  return uint8_t(code + 0x40);
}
// Byte 0 of a framed request with `count` bytes after it (code and parameters).
constexpr uint8_t framedLength(unsigned count) {
  return uint8_t(0x80 | count);
}

// Raw codes (Ostrel III and IV).
inline constexpr uint8_t WriteSector = 0xA0;
inline constexpr uint8_t WriteSectorOne = 0xA7;  // instead of WriteSector for sector 1
inline constexpr uint8_t ReadSector = 0xA1;
inline constexpr uint8_t ReadSectorOne = 0xA8;  // instead of ReadSector for sector 1
inline constexpr uint8_t EraseSector = 0xA2;
inline constexpr uint8_t EraseAll = 0xA3;
inline constexpr uint8_t QcBlank = 0xA5;    // quality-control step 1
inline constexpr uint8_t QcLoop = 0xA6;     // quality-control step 2
inline constexpr uint8_t NextPiece = 0x5A;  // the next 4096-byte piece of a read

}  // namespace ostrel::Cmd
