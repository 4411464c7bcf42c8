// Arbitrary bytes as the burn journal a connection finds on disk, against a
// simulated module of any generation holding a small cartridge: the
// journal is read, checked, judged from the sectors read back and, when the
// verdict asks for it and the user says yes, repaired, as at start-up. The
// fuzzer's bytes are taken as they are, or as records built around the
// cartridge's real content (its FAT, table and sectors, whole or cut) so
// that the judgement and the repair are reached. Nothing may crash, and the
// cartridge may change only after the repair question.
//
// The same bytes as a FAT: its catalogue rows, tree and lists stay in bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <span>
#include <vector>

#include "app/clock.h"
#include "app/form_main.h"
#include "cartfs/catalogue_view.h"
#include "cartfs/fat.h"
#include "common/scripted_host.h"
#include "common/sim_generations.h"
#include "flash/burn_journal.h"
#include "sim/presets.h"
#include "sim/sim_transport.h"

using namespace ostrel;

namespace {

using Bytes = std::vector<uint8_t>;

void check(bool condition) {
  if (!condition) std::abort();
}

// The fuzzer's bytes, one at a time; zeros once they are used up.
struct Ops {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  bool done() const { return at >= size; }
  uint8_t next() { return at < size ? data[at++] : 0; }
  uint16_t next16() { return uint16_t(next() << 8 | next()); }
};

// Fingerprint payload of a sector, as a burn writes it.
Bytes fingerprint(std::span<const uint8_t> sector) {
  return digestPayload(sector);
}

// Sectors the records point at: mostly the cartridge's own, sometimes any.
uint16_t sectorFrom(Ops& ops, const SimConfig& config) {
  const uint8_t kind = ops.next();
  switch (kind % 8) {
    case 0:
      return ops.next16();
    case 1:
      return uint16_t(60000 + ops.next() % 3);
    default:
      return uint16_t(ops.next() % std::min<uint32_t>(config.sectorCount, 64));
  }
}

// A journal built from records around the cartridge's content.
Bytes structuredJournal(Ops& ops, const SimConfig& config, ModuleSim& module, bool padded) {
  const bool ost4 = config.generation == SimGeneration::Ost4;
  JournalShape shape;
  shape.key = {Generation(config.generation), config.sectorCount, config.identity};
  shape.planned = ops.next() % 8;
  shape.kept = ops.next() % 8;
  shape.newFatFirst = (ops.next() & 1) && !ost4;
  Bytes out = journalStart(shape);
  const uint32_t fatPhysical = ost4 ? 11 : 1;
  auto sectorNow = [&](uint32_t s) {
    return s < config.flashCapacity() ? module.flash().read(s) : Bytes(65536, 0xFF);
  };
  auto table = [&] {
    Bytes t = sectorNow(60000);
    const Bytes high = sectorNow(60001);
    t.insert(t.end(), high.begin(), high.end());
    return t;
  };
  while (!ops.done() && out.size() < (8u << 20)) {
    const uint8_t op = ops.next();
    const auto type = JournalRecord(op % 12);
    const uint16_t sector = sectorFrom(ops, config);
    Bytes payload;
    switch (ops.next() % 8) {
      case 0:  // none
        break;
      case 1:  // the sector as the cartridge holds it
        payload = sectorNow(sector);
        break;
      case 2:  // its fingerprint
        payload = fingerprint(sectorNow(sector));
        break;
      case 3:  // the FAT
        payload = sectorNow(fatPhysical);
        break;
      case 4:  // the table
        payload = ost4 ? table() : Bytes(131072, ops.next());
        break;
      case 5: {  // other content, or its fingerprint
        payload.assign(65536, ops.next());
        if (ops.next() & 1) payload = fingerprint(payload);
        break;
      }
      case 6:  // a few bytes
        payload.assign(ops.next() % 32, ops.next());
        break;
      default:  // the sector written part of the way
        payload = sectorNow(sector);
        std::fill(payload.begin() + (ops.next() % 16) * 4096, payload.end(), 0xFF);
        break;
    }
    const Bytes record = journalRecord(type, sector, payload);
    out.insert(out.end(), record.begin(), record.end());
  }
  if (padded) out.resize(std::max<size_t>(out.size(), journalBytes(shape)), 0);
  return out;
}

// A module holding a small cartridge, kept from run to run: the base
// software (its run holds the FAT), two pieces of software and a gap; on
// Ostrel IV every logical sector L lies on physical L + 10.
struct Bench {
  explicit Bench(SimConfig c) : config(c) {
    module = sim.addModule("SIM0", config);
    const std::vector<SimFatEntry> entries = {{2, 0, "OBDII", "91 V4.10", "", 0, 3, ""},
                                              {2, 0, "Arvo", "V1", "", 3, 3, "EU"},
                                              {2, 0, "Bram", "V1", "", 8, 2, ""}};
    const bool ost4 = config.generation == SimGeneration::Ost4;
    std::vector<uint16_t> words(65536, kSimUnmappedSector);
    for (const SimFatEntry& e : entries) {
      for (uint32_t k = 0; k < e.sectorCount; ++k) {
        const uint32_t logical = e.startSector + k;
        words[logical] = uint16_t(logical + 10);
        cartridge[ost4 ? logical + 10 : logical] =
            logical == 1 ? buildFatSector(entries, config.sectorCount)
                         : demoSectorData(e.brand, k, e.sectorCount, logical);
      }
    }
    if (ost4) {
      const Bytes table = buildMappingTable(words);
      cartridge[60000] = Bytes(table.begin(), table.begin() + 65536);
      cartridge[60001] = Bytes(table.begin() + 65536, table.end());
    }
    for (const auto& [sector, content] : cartridge)
      check(module->flash().program(sector, 0, content));
  }
  // Whether the flash still holds the cartridge; puts it back when not.
  bool unchanged() {
    bool same = true;
    FlashStore& flash = module->flash();
    for (uint32_t s = 0; s < flash.capacity(); ++s) {
      const auto it = cartridge.find(s);
      if (flash.state(s) == SectorState::Erased && it == cartridge.end()) continue;
      if (it != cartridge.end() && flash.state(s) != SectorState::Erased &&
          flash.read(s) == it->second)
        continue;
      same = false;
      flash.erase(s);
      if (it != cartridge.end()) flash.program(s, 0, it->second);
    }
    return same;
  }

  SimConfig config;
  VirtualClock clock{1000};
  SimTransport sim{clock};
  std::shared_ptr<ModuleSim> module;
  std::map<uint32_t, Bytes> cartridge;
};

Bench& benchFor(uint8_t choice) {
  static std::unique_ptr<Bench> benches[4];
  auto& b = benches[choice % 4];
  if (!b) b = std::make_unique<Bench>(allGenerations()[choice % 4].config);
  return *b;
}

void judgeAgainstTheCartridge(const uint8_t* data, size_t size) {
  if (size < 2) return;
  const uint8_t choice = data[0], mode = data[1];
  Bench& bench = benchFor(choice);
  const SimConfig& config = bench.config;
  bench.module->powerCycle();
  bench.sim.clearLogs();  // the transport lives on: what the last run sent goes
  ScriptedHost host;
  host.ports = {"SIM0"};
  TForm_MAIN form(1, 0, host, bench.clock, bench.sim);
  form.FormCreate();
  // The module as detection finds it (the probe itself is fuzz_module_link's).
  bench.sim.setCommName("SIM0");
  bench.sim.OpenPort();
  form.ModuleGeneration = Generation(config.generation);
  form.SectorCount = config.sectorCount;
  form.ModuleIdentity = config.identity;
  form.ResetBlockTable();
  const std::string path = (mode & 2) ? form.legacyBurnJournalPath() : form.burnJournalPath();

  Ops ops{data + 2, size - 2};
  const Bytes journal = (mode & 1) ? structuredJournal(ops, config, *bench.module, mode & 8)
                                   : Bytes(data + 2, data + size);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(journal.data()), std::streamsize(journal.size()));
  host.answers = {(mode & 4) ? MsgBoxResult::Yes : MsgBoxResult::No};

  // What detection does once the module answers: the tables, then the journal.
  bool tables = true;
  if (config.generation == SimGeneration::Ost4) tables = form.Function_Read_MAPPING_TABLE();
  tables = tables && form.Function_ReadFAT();
  form.resolveInterruptedBurn(tables);
  bool asked = false;
  for (const auto& box : host.boxes) asked = asked || box.buttons == MsgBoxButtons::YesNo;
  const bool unchanged = bench.unchanged();
  bench.sim.ClosePort();
  check(unchanged || (asked && (mode & 4)));

  // A torn tail is no record: the journal with a cut record behind it reads the same.
  const JournalKey key{Generation(config.generation), config.sectorCount, config.identity};
  const JournalRead read = readJournal(journal, key);
  Bytes longer = journal;
  longer.insert(longer.end(), {0x05, 0x00});
  const JournalRead again = readJournal(longer, key);
  check(again.fit == read.fit && again.journal.begun == read.journal.begun &&
        again.journal.validBytes == read.journal.validBytes);
}

void catalogueOf(const uint8_t* data, size_t size) {
  auto catalogue = std::make_unique<CartridgeCatalogue>();
  parseFatSector({data, size}, 256, *catalogue);
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
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  judgeAgainstTheCartridge(data, size);
  catalogueOf(data, size);
  return 0;
}
