// Arbitrary bytes as a burn journal left on disk: the reader must stay inside
// the bytes, take only whole records, and give the same verdict for the
// same journal whatever follows its last whole record. The catalogue rows of
// an arbitrary FAT (the same bytes parsed as one) must stay within bounds too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "cartfs/catalogue_view.h"
#include "cartfs/fat.h"
#include "flash/burn_journal.h"

using namespace ostrel;

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  if (const auto journal = decodeJournal(bytes)) {
    for (const auto& [sector, content] : journal->oldSectors) check(content.size() == 65536);
    // A torn tail is no record: the journal with garbage behind it reads the same.
    std::vector<uint8_t> longer(bytes.begin(), bytes.end());
    longer.insert(longer.end(), {0x05, 0x00});
    const auto again = decodeJournal(longer);
    check(again && again->begun == journal->begun && again->complete == journal->complete);
    const std::vector<uint8_t> fat(65536, size ? data[0] : 0);
    for (bool blocks : {false, true})
      check(judgeBurn(*journal, fat, blocks) == judgeBurn(*again, fat, blocks));
  }

  // The same bytes as a FAT: rows, tree and every node's list stay in bounds.
  auto catalogue = std::make_unique<CartridgeCatalogue>();
  parseFatSector(bytes, 256, *catalogue);
  for (CatalogueSide side : {CatalogueSide::Cartridge, CatalogueSide::Selection}) {
    const auto rows = buildCatalogueRows(*catalogue, side);
    const auto tree = buildDirectoryTree(rows, true);
    std::size_t shown = 0;
    for (int node = 0; node < int(tree.size()); ++node) {
      for (const CatalogueItem& item : catalogueItems(rows, tree, node, side, {})) {
        shown += item.directory ? 0 : 1;
        for (int r : rowsOfItem(rows, item.hidden)) check(r >= 0 && std::size_t(r) < rows.size());
      }
    }
    check(shown == rows.size());  // every row is listed under exactly one node
  }
  return 0;
}
