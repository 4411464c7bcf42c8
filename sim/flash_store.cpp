#include "sim/flash_store.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace ostrel {

// Image file layout (all numbers little-endian):
//   0   16 bytes  magic "OSTREL-SIM-CART\0"
//   16  4         format version (1)
//   20  4         capacity in sectors
//   24  4         sector size (65536)
//   28  36        zero
//   64  4 x capacity   index: 0 = erased, 1 = loop pattern, 2 + n = data in slot n
//   dataStart = 64 + 4 x capacity rounded up to 4096; slot n at dataStart + n x 65536
// A write goes to a free slot first and only then is the index entry switched
// to it, so the file holds either the old or the new sector at every moment.
namespace {

constexpr char kMagic[16] = {'O', 'S', 'T', 'R', 'E', 'L', '-', 'S',
                             'I', 'M', '-', 'C', 'A', 'R', 'T', '\0'};
constexpr uint32_t kVersion = 1;
constexpr uint64_t kHeaderSize = 64;

uint64_t dataStartFor(uint32_t capacity) {
  uint64_t end = kHeaderSize + 4ull * capacity;
  return (end + 4095) / 4096 * 4096;
}

void putLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
uint32_t getLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Magic, version and sector size are this format's; the capacity is not checked.
bool isImageHeader(const uint8_t* header) {
  return std::memcmp(header, kMagic, sizeof kMagic) == 0 && getLe32(header + 16) == kVersion &&
         getLe32(header + 24) == kSimSectorSize;
}

}  // namespace

FlashStore::FlashStore(uint32_t capacity)
    : capacity_(capacity), states_(capacity, SectorState::Erased) {}

FlashStore::FlashStore(uint32_t capacity, std::unique_ptr<std::fstream> file, std::string path)
    : capacity_(capacity),
      states_(capacity, SectorState::Erased),
      file_(std::move(file)),
      path_(std::move(path)),
      index_(capacity, 0) {}

FlashStore::~FlashStore() {
  sync();
}

std::unique_ptr<FlashStore> FlashStore::openFile(const std::string& path, uint32_t capacity,
                                                 std::string& error, bool* created) {
  namespace fs = std::filesystem;
  std::error_code ec;
  bool exists = fs::exists(path, ec);
  if (created) *created = !exists;
  if (!exists) {
    std::ofstream make(path, std::ios::binary | std::ios::trunc);
    if (!make) {
      error = "cannot create cartridge file " + path;
      return nullptr;
    }
    uint8_t header[kHeaderSize] = {};
    std::memcpy(header, kMagic, sizeof kMagic);
    putLe32(header + 16, kVersion);
    putLe32(header + 20, capacity);
    putLe32(header + 24, kSimSectorSize);
    make.write(reinterpret_cast<const char*>(header), kHeaderSize);
    // The index and the gap before the data are zero: every sector erased.
    std::vector<char> zeros(dataStartFor(capacity) - kHeaderSize, 0);
    make.write(zeros.data(), std::streamsize(zeros.size()));
    make.flush();
    if (!make) {
      error = "cannot write cartridge file " + path;
      return nullptr;
    }
  }
  auto file = std::make_unique<std::fstream>(path, std::ios::binary | std::ios::in | std::ios::out);
  if (!*file) {
    error = "cannot open cartridge file " + path;
    return nullptr;
  }
  uintmax_t size = fs::file_size(path, ec);
  if (ec || size < kHeaderSize) {
    error = path + " is not a cartridge image";
    return nullptr;
  }
  uint8_t header[kHeaderSize];
  file->read(reinterpret_cast<char*>(header), kHeaderSize);
  if (!*file || !isImageHeader(header)) {
    error = path + " is not a cartridge image";
    return nullptr;
  }
  if (getLe32(header + 20) != capacity) {
    error = path + " holds a cartridge of " + std::to_string(getLe32(header + 20)) +
            " sectors, this module has " + std::to_string(capacity);
    return nullptr;
  }
  uint64_t dataStart = dataStartFor(capacity);
  if (size < dataStart) {
    error = path + " is truncated";
    return nullptr;
  }
  std::vector<uint8_t> raw(4ull * capacity);
  file->read(reinterpret_cast<char*>(raw.data()), std::streamsize(raw.size()));
  if (!*file) {
    error = "cannot read cartridge file " + path;
    return nullptr;
  }
  auto store = std::unique_ptr<FlashStore>(new FlashStore(capacity, std::move(file), path));
  uint64_t slotsInFile = (size - dataStart) / kSimSectorSize;
  std::vector<bool> slotUsed(slotsInFile, false);
  for (uint32_t s = 0; s < capacity; ++s) {
    uint32_t e = getLe32(raw.data() + 4ull * s);
    if (e == 1) {
      store->index_[s] = 1;
      store->states_[s] = SectorState::LoopPattern;
    } else if (e >= 2) {
      uint64_t slot = e - 2;
      // A damaged entry (outside the file or shared) reads as erased.
      if (slot < slotsInFile && !slotUsed[slot]) {
        slotUsed[slot] = true;
        store->index_[s] = e;
        store->states_[s] = SectorState::Programmed;
      }
    }
  }
  store->slotCount_ = uint32_t(std::min<uint64_t>(slotsInFile, UINT32_MAX - 2));
  for (uint32_t slot = store->slotCount_; slot-- > 0;)
    if (!slotUsed[slot]) store->freeSlots_.push_back(slot);
  return store;
}

uint32_t FlashStore::fileCapacity(const std::string& path, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open cartridge file " + path;
    return 0;
  }
  uint8_t header[kHeaderSize];
  if (!in.read(reinterpret_cast<char*>(header), kHeaderSize) || !isImageHeader(header) ||
      getLe32(header + 20) == 0) {
    error = path + " is not a cartridge image";
    return 0;
  }
  return getLe32(header + 20);
}

SectorState FlashStore::state(uint32_t sector) const {
  return sector < capacity_ ? states_[sector] : SectorState::Erased;
}

uint32_t FlashStore::usedSectors() const {
  return uint32_t(std::count_if(states_.begin(), states_.end(),
                                [](SectorState s) { return s != SectorState::Erased; }));
}

uint64_t FlashStore::slotOffset(uint32_t slot) const {
  return dataStartFor(capacity_) + uint64_t(slot) * kSimSectorSize;
}

bool FlashStore::read(uint32_t sector, std::span<uint8_t> out) const {
  if (sector >= capacity_ || out.size() != kSimSectorSize) return false;
  switch (states_[sector]) {
    case SectorState::Erased:
      std::fill(out.begin(), out.end(), 0xFF);
      return true;
    case SectorState::LoopPattern:
      for (uint32_t i = 0; i < kSimSectorSize; ++i) out[i] = loopPatternByte(i);
      return true;
    case SectorState::Programmed:
      break;
  }
  if (!file_) {
    std::memcpy(out.data(), data_.at(sector).get(), kSimSectorSize);
    return true;
  }
  file_->clear();
  file_->seekg(std::streamoff(slotOffset(index_[sector] - 2)));
  file_->read(reinterpret_cast<char*>(out.data()), kSimSectorSize);
  if (!*file_) {
    lastError_ = "cannot read cartridge file " + path_;
    std::fill(out.begin(), out.end(), 0xFF);
    return false;
  }
  return true;
}

std::vector<uint8_t> FlashStore::read(uint32_t sector) const {
  std::vector<uint8_t> out(kSimSectorSize, 0xFF);
  read(sector, out);
  return out;
}

bool FlashStore::writeIndex(uint32_t sector, uint32_t entry) {
  uint8_t b[4];
  putLe32(b, entry);
  file_->clear();
  file_->seekp(std::streamoff(kHeaderSize + 4ull * sector));
  file_->write(reinterpret_cast<const char*>(b), 4);
  file_->flush();
  if (!*file_) {
    lastError_ = "cannot write cartridge file " + path_;
    return false;
  }
  return true;
}

uint32_t FlashStore::takeFreeSlot() {
  if (!freeSlots_.empty()) {
    uint32_t s = freeSlots_.back();
    freeSlots_.pop_back();
    return s;
  }
  return slotCount_++;
}

bool FlashStore::store(uint32_t sector, const uint8_t* bytes) {
  if (!file_) {
    auto& slot = data_[sector];
    if (!slot) slot = std::make_unique<uint8_t[]>(kSimSectorSize);
    std::memcpy(slot.get(), bytes, kSimSectorSize);
    states_[sector] = SectorState::Programmed;
    return true;
  }
  uint32_t slot = takeFreeSlot();
  file_->clear();
  file_->seekp(std::streamoff(slotOffset(slot)));
  file_->write(reinterpret_cast<const char*>(bytes), kSimSectorSize);
  file_->flush();
  if (!*file_) {
    lastError_ = "cannot write cartridge file " + path_;
    freeSlots_.push_back(slot);
    return false;
  }
  uint32_t old = index_[sector];
  if (!writeIndex(sector, slot + 2)) {
    freeSlots_.push_back(slot);
    return false;
  }
  index_[sector] = slot + 2;
  if (old >= 2) freeSlots_.push_back(old - 2);
  states_[sector] = SectorState::Programmed;
  return true;
}

bool FlashStore::setState(uint32_t sector, SectorState st) {
  if (file_) {
    uint32_t old = index_[sector];
    uint32_t entry = st == SectorState::LoopPattern ? 1 : 0;
    if (old != entry) {
      if (!writeIndex(sector, entry)) return false;
      index_[sector] = entry;
      if (old >= 2) freeSlots_.push_back(old - 2);
    }
  } else {
    data_.erase(sector);
  }
  states_[sector] = st;
  return true;
}

bool FlashStore::program(uint32_t sector, uint32_t offset, std::span<const uint8_t> data) {
  if (sector >= capacity_ || offset > kSimSectorSize || data.size() > kSimSectorSize - offset)
    return false;
  if (data.empty()) return true;
  std::vector<uint8_t> cell(kSimSectorSize);
  if (!read(sector, cell)) return false;
  bool changed = false;
  for (size_t i = 0; i < data.size(); ++i) {
    uint8_t v = cell[offset + i] & data[i];
    changed |= v != cell[offset + i];
    cell[offset + i] = v;
  }
  // Programming all-0xFF bytes into an erased sector leaves it erased.
  if (!changed) return true;
  return store(sector, cell.data());
}

bool FlashStore::programLoopPattern(uint32_t sector) {
  if (sector >= capacity_) return false;
  if (states_[sector] != SectorState::Programmed) return setState(sector, SectorState::LoopPattern);
  std::vector<uint8_t> cell(kSimSectorSize);
  if (!read(sector, cell)) return false;
  for (uint32_t i = 0; i < kSimSectorSize; ++i) cell[i] &= loopPatternByte(i);
  return store(sector, cell.data());
}

bool FlashStore::erase(uint32_t sector) {
  if (sector >= capacity_) return false;
  if (states_[sector] == SectorState::Erased) return true;
  return setState(sector, SectorState::Erased);
}

bool FlashStore::eraseBytes(uint32_t sector, uint32_t offset, uint32_t length) {
  if (sector >= capacity_ || offset > kSimSectorSize || length > kSimSectorSize - offset)
    return false;
  if (states_[sector] == SectorState::Erased || length == 0) return true;
  if (offset == 0 && length == kSimSectorSize) return erase(sector);
  std::vector<uint8_t> cell(kSimSectorSize);
  if (!read(sector, cell)) return false;
  std::fill(cell.begin() + offset, cell.begin() + offset + length, 0xFF);
  if (std::all_of(cell.begin(), cell.end(), [](uint8_t b) { return b == 0xFF; }))
    return erase(sector);
  return store(sector, cell.data());
}

void FlashStore::eraseAll() {
  for (uint32_t s = 0; s < capacity_; ++s)
    if (states_[s] != SectorState::Erased) setState(s, SectorState::Erased);
}

bool FlashStore::sync() {
  if (!file_) return true;
  file_->flush();
  return bool(*file_);
}

}  // namespace ostrel
