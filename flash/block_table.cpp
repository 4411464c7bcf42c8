#include "flash/block_table.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "app/text_helpers.h"
#include "link/frame.h"

namespace ostrel {

void resetBlockTable(std::vector<BlockRecord>& table, uint16_t sectorCount) {
  table.assign(sectorCount, BlockRecord{});
}

BlockRecord* blockRecordAt(std::vector<BlockRecord>& table, size_t sector) {
  return sector < table.size() ? &table[sector] : nullptr;
}

const BlockRecord* blockRecordAt(const std::vector<BlockRecord>& table, size_t sector) {
  return sector < table.size() ? &table[sector] : nullptr;
}

DataCheck dataCheck(std::span<const uint8_t> bytes) {
  return {sum8(bytes), xor8(bytes)};
}

void planSectorWrite(BlockRecord& record, std::span<const uint8_t> data, bool erase,
                     uint16_t sourceBlock) {
  const DataCheck check = dataCheck(data);
  record.writeFlag = 1;
  record.eraseFlag = erase ? 1 : 0;
  record.sum = check.sum;
  record.xorValue = check.xorValue;
  record.sourceBlock = sourceBlock;
  record.source = SectorSource::PackageImage;
}

void planFlashImageWrite(BlockRecord& record, std::span<const uint8_t> data, bool erase) {
  const DataCheck check = dataCheck(data);
  record.writeFlag = 1;
  record.eraseFlag = erase ? 1 : 0;
  record.sum = check.sum;
  record.xorValue = check.xorValue;
  record.source = SectorSource::FlashImage;
}

BlockEraseAction blockEraseAction(const std::vector<BlockRecord>& table, uint16_t sector) {
  const uint32_t partner = erasePartner(sector);
  const BlockRecord* p = blockRecordAt(table, partner);
  if (!p || !p->eraseFlag) return BlockEraseAction::SaveAndRestore;
  return partner > sector ? BlockEraseAction::EraseBlock : BlockEraseAction::CoveredByPartner;
}

std::array<uint8_t, 8> ost2BootSubBlockAddresses() {
  std::array<uint8_t, 8> a{};
  for (size_t i = 0; i < a.size(); ++i) a[i] = uint8_t(i * 32);
  return a;
}

uint32_t StandardEraseTime(Generation generation) {
  if (generation == OstrelI) return 33600;
  if (generation == OstrelII) return 25200;
  return 0;
}

uint32_t TypicalChipEraseTime(Generation generation) {
  // Ostrel I, II, III, IV; a generation beyond them takes the last.
  static constexpr uint32_t kTypicalMs[] = {34000, 26000, 30000, 30000};
  return kTypicalMs[std::min<size_t>(generation, std::size(kTypicalMs) - 1)];
}

ChipEraseVerdict judgeChipErase(Generation generation, uint16_t chipStart, uint32_t elapsedMs,
                                bool acknowledged) {
  ChipEraseVerdict v;
  const std::string ms = std::to_string(elapsedMs) + " ms";
  if (chipStart == 0) v.lines.push_back("Chip 0: " + ms);
  const uint16_t chip1 = generation == OstrelI ? 64 : 128;
  if (chipStart == chip1 && chipStart != 0) v.lines.push_back("Chip 1: " + ms);
  v.ok = acknowledged;
  if (acknowledged && elapsedMs < StandardEraseTime(generation)) {
    v.tooFast = true;
    v.ok = false;
    v.lines.push_back("Standard time is " + std::to_string(StandardEraseTime(generation)) + " ms");
  }
  return v;
}

std::string hexAtLeast2(uint32_t value) {
  return upperHex(value, 2);
}

std::string hexByte(uint8_t value) {
  return upperHex(value, 2);
}

std::array<uint8_t, 9> rawSectorCommand(uint8_t code, uint16_t sector, uint16_t logical) {
  return {code, uint8_t(sector >> 8),  uint8_t(sector), 0x00, 0x00, 0x00,
          0x10, uint8_t(logical >> 8), uint8_t(logical)};
}

}  // namespace ostrel
