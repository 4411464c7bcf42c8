// Arbitrary bytes as a FAT sector or a shorter package catalogue block: the
// parse must stay inside the bytes, and what it yields must survive the
// serialise/parse round trip and the rewrite rules unchanged in shape.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "app/text_helpers.h"
#include "cartfs/catalogue_check.h"
#include "cartfs/catalogue_view.h"
#include "cartfs/fat.h"
#include "flash/burn_guard.h"

using namespace ostrel;

namespace {

// Stand-in converter: maps every byte to a two-byte UTF-8 character, so
// results grow and get cut at the field's end; fails on 0xFF.
bool latin1ToUtf8(std::string_view in, std::string& out) {
  out.clear();
  for (char c : in) {
    const auto b = static_cast<uint8_t>(c);
    if (b == 0xFF) return false;
    if (b < 0x80) {
      out.push_back(c);
    } else {
      out.push_back(static_cast<char>(0xC0 | (b >> 6)));
      out.push_back(static_cast<char>(0x80 | (b & 0x3F)));
    }
  }
  return true;
}

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  // The first byte picks the shape: the raw bytes as given (package block),
  // or a whole sector padded/truncated to 65536 bytes.
  const bool wholeSector = data[0] & 1;
  const uint16_t sectorCount = static_cast<uint16_t>(data[1] << 8 | data[2]);
  std::vector<uint8_t> bytes(data + 3, data + size);
  if (wholeSector) bytes.resize(kFatSectorSize, 0);

  auto catalogue = std::make_unique<CartridgeCatalogue>();
  const FatParseResult parsed = parseFatSector(bytes, sectorCount, *catalogue);
  check(catalogue->header.entryCount <= kFatMaxEntries);
  check(parsed.declaredCount == catalogue->header.entryCount + parsed.entriesIgnored);
  if (!parsed.signatureRecognised) check(catalogue->header.entryCount == 0);

  const std::vector<uint8_t> sector = serialiseFatSector(*catalogue);
  check(sector.size() == kFatSectorSize);
  auto again = std::make_unique<CartridgeCatalogue>();
  const FatParseResult reparsed = parseFatSector(sector, sectorCount, *again);
  check(reparsed.signatureRecognised && reparsed.entriesIgnored == 0);
  check(*again == *catalogue);

  // Every text as shown: shown once, it is shown the same again (UTF-8
  // without a control character left).
  const int language = data[0] >> 1 & 3;
  auto shownStable = [language](std::string_view text) {
    const std::string shown = displayText(language, text);
    check(displayText(language, shown) == shown);
  };
  for (std::size_t k = 0; k < catalogue->header.entryCount; ++k) {
    const FatEntry& e = catalogue->entries[k];
    (void)obdiiVersionVerdict(e);
    (void)fatEntryLogLine(e);
    for (std::string_view text :
         {fatText(e.brand), fatText(e.version), fatText(e.versionExtra), fatPathText(e)})
      shownStable(text);
  }

  // The judgement names live slots only, each wrong one gets a row of its own,
  // every live slot is on exactly one row, and the used space fits.
  const CatalogueJudgement judgement = judgeCatalogue(*catalogue, sectorCount);
  std::vector<int> onRows(kFatMaxEntries + 1, 0);
  for (const CatalogueRow& row :
       buildCatalogueRows(*catalogue, CatalogueSide::Cartridge, judgement.wrongSlots())) {
    for (uint16_t slot : row.entries) ++onRows[slot];
    if (judgement.isWrong(row.entries.front())) check(row.entries.size() == 1);
  }
  for (std::size_t k = 1; k <= catalogue->header.entryCount; ++k)
    check(onRows[k] == (catalogue->entries[k - 1].kind != 0 ? 1 : 0));
  for (const WrongEntry& w : judgement.wrong) {
    check(w.slot >= 1 && w.slot <= catalogue->header.entryCount);
    check(catalogue->entries[w.slot - 1].kind != 0);
    (void)wrongEntryText(w, *catalogue, sectorCount);
  }
  check(usedSectorCount(*catalogue, sectorCount) <= sectorCount);
  // A plan that writes every sector overwrites each piece of software no
  // further than its own sectors.
  const std::vector<BlockRecord> everything(sectorCount, BlockRecord{1, 1});
  for (const OverwrittenSoftware& hit : softwareOverwrittenBy(*catalogue, *catalogue, everything)) {
    const FatEntry& e = catalogue->entries[hit.slot - 1];
    check(hit.firstSector >= e.startSector && hit.lastSector < e.startSector + e.sectorCount);
    check(hit.lastSector < sectorCount && hit.sectors <= e.sectorCount);
  }

  // The rewrite: no kind 0 or 1 is left, and its own output reads back as is.
  auto table = std::make_unique<MappingTable>();
  makeFreshMappingTable(*table);
  for (uint16_t logical = 0; logical < 512; ++logical) {
    (void)allocatePhysicalSector(*table, logical, sectorCount);
  }
  const FatRefreshResult refreshed = refreshFat(*catalogue, table.get(), sectorCount, latin1ToUtf8);
  check(refreshed.sector.size() == kFatSectorSize);
  for (std::size_t k = 0; k < catalogue->header.entryCount; ++k) {
    check(catalogue->entries[k].kind != 0 && catalogue->entries[k].kind != 1);
  }
  auto final = std::make_unique<CartridgeCatalogue>();
  parseFatSector(refreshed.sector, sectorCount, *final);
  check(*final == *catalogue);
  pruneMappingTable(*table, liveSectorRuns(*final), sectorCount);
  return 0;
}
