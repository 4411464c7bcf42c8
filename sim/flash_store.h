// The cartridge flash of a simulated module: NOR semantics (erase sets 0xFF,
// programming can only clear bits), sparse so that a 59999-sector cartridge
// costs memory or disk only for the sectors that hold data.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace ostrel {

inline constexpr uint32_t kSimSectorSize = 65536;

// A sector is erased (reads 0xFF, takes no room), holds the quality-control
// loop pattern (byte i of the sector is uint8_t(i); takes no room either) or
// holds programmed data.
enum class SectorState : uint8_t { Erased = 0, LoopPattern = 1, Programmed = 2 };

// Byte i of a sector that holds the loop pattern.
inline uint8_t loopPatternByte(uint32_t offset) {
  return uint8_t(offset);
}

class FlashStore {
 public:
  // In memory: sectors 0 .. capacity-1, all erased.
  explicit FlashStore(uint32_t capacity);
  ~FlashStore();
  FlashStore(const FlashStore&) = delete;
  FlashStore& operator=(const FlashStore&) = delete;

  // Opens the cartridge image file at path, creating it (all sectors erased)
  // when it does not exist. A file made for another capacity, or one that is
  // not a cartridge image, is refused. Returns nullptr and sets error.
  static std::unique_ptr<FlashStore> openFile(const std::string& path, uint32_t capacity,
                                              std::string& error, bool* created = nullptr);
  // The capacity an existing cartridge image file was made for; 0 (and
  // error set) when the file is missing or no cartridge image.
  static uint32_t fileCapacity(const std::string& path, std::string& error);

  uint32_t capacity() const { return capacity_; }
  bool fileBacked() const { return file_ != nullptr; }
  SectorState state(uint32_t sector) const;
  // Sectors that are not erased.
  uint32_t usedSectors() const;

  // Copies the 65536 bytes of a sector into out (out.size() must be 65536).
  bool read(uint32_t sector, std::span<uint8_t> out) const;
  std::vector<uint8_t> read(uint32_t sector) const;
  // NOR programming: every cell from offset on becomes cell AND data.
  bool program(uint32_t sector, uint32_t offset, std::span<const uint8_t> data);
  // Programs the loop pattern over the present content.
  bool programLoopPattern(uint32_t sector);
  bool erase(uint32_t sector);
  // Erases length bytes from offset (a sub-block of a boot sector).
  bool eraseBytes(uint32_t sector, uint32_t offset, uint32_t length);
  void eraseAll();
  // Pushes what was written to the disk (no-op in memory).
  bool sync();
  // Text of the last file error ("" when none).
  const std::string& lastError() const { return lastError_; }

 private:
  FlashStore(uint32_t capacity, std::unique_ptr<std::fstream> file, std::string path);
  bool store(uint32_t sector, const uint8_t* bytes);  // replaces the content
  bool setState(uint32_t sector, SectorState st);
  uint64_t slotOffset(uint32_t slot) const;
  bool writeIndex(uint32_t sector, uint32_t entry);
  uint32_t takeFreeSlot();

  uint32_t capacity_;
  std::vector<SectorState> states_;
  // Memory mode: content of the programmed sectors.
  std::unordered_map<uint32_t, std::unique_ptr<uint8_t[]>> data_;
  // File mode: index entry per sector (0 erased, 1 loop pattern, 2 + slot).
  std::unique_ptr<std::fstream> file_;
  std::string path_;
  std::vector<uint32_t> index_;
  std::vector<uint32_t> freeSlots_;
  uint32_t slotCount_ = 0;
  mutable std::string lastError_;
};

}  // namespace ostrel
