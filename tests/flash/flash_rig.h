// Shared set-up of the sector-command tests: a main form on a virtual clock
// whose module is either scripted byte by byte or the simulator.
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "app/form_main.h"
#include "common/scripted_host.h"
#include "common/scripted_transport.h"
#include "sim/sim_transport.h"

namespace ostrel::test {

using Bytes = std::vector<uint8_t>;
using Replies = std::vector<ScriptedTransport::Reply>;

// 65536 bytes that differ from sector to sector (computed here, independent
// of the code under test).
inline Bytes sectorPattern(uint32_t tag) {
  Bytes d(65536);
  uint32_t x = 0x9E3779B9u ^ (tag * 2654435761u);
  for (auto& b : d) {
    x = x * 1664525u + 1013904223u;
    b = uint8_t(x >> 24);
  }
  return d;
}

inline uint8_t byteSum(const Bytes& v, size_t from = 0, size_t count = SIZE_MAX) {
  unsigned s = 0;
  for (size_t i = from; i < v.size() && i - from < count; ++i) s += v[i];
  return uint8_t(s);
}
inline uint8_t byteXor(const Bytes& v, size_t from = 0, size_t count = SIZE_MAX) {
  uint8_t x = 0;
  for (size_t i = from; i < v.size() && i - from < count; ++i) x ^= v[i];
  return x;
}

// A framed message as the host sends it: 0x80|N, N bytes, their sum.
inline bool isFrame(const Bytes& b) {
  return b.size() >= 3 && (b[0] & 0x80) && b.size() == size_t(b[0] & 0x7F) + 2 &&
         byteSum(b, 0, b.size() - 1) == b.back();
}
// The frame a module answers with: 0x80|N, code and parameters, sum.
inline Bytes moduleFrame(Bytes body) {
  Bytes f{uint8_t(0x80 | body.size())};
  f.insert(f.end(), body.begin(), body.end());
  f.push_back(byteSum(f));
  return f;
}
// The frame the host sends for a command, without its checksum.
inline Bytes framedBody(const Bytes& frame) {
  return Bytes(frame.begin(), frame.end() - 1);
}

// A module that acknowledges every frame (code + 0x40) and every raw message ('Z').
inline Replies ackEverything(const Bytes& b) {
  if (isFrame(b))
    return {{2, moduleFrame({uint8_t(b[1] + 0x40), b.size() > 3 ? b[2] : uint8_t(0)})}};
  return {{2, Bytes{0x5A}}};
}

struct ScriptRig {
  explicit ScriptRig(uint8_t generation, uint16_t sectorCount = 256, int buildMode = 0) {
    form = std::make_unique<TForm_MAIN>(buildMode, 0, host, clock, comm);
    form->FormCreate();
    // The exchanges and their timings on quiet-gap framing, which these
    // rules are written for; the fast link has tests of its own.
    form->setFastLink(false);
    comm.OpenPort();
    form->ModuleGeneration = Generation(generation);
    form->SectorCount = sectorCount;
    form->ResetBlockTable();
  }
  // Every message sent that is not a 4096-byte data piece.
  std::vector<Bytes> commands() const {
    std::vector<Bytes> out;
    for (const auto& s : comm.sent)
      if (s.bytes.size() != 4096) out.push_back(s.bytes);
    return out;
  }
  size_t countSent(const Bytes& message) const {
    return size_t(
        std::count_if(comm.sent.begin(), comm.sent.end(),
                      [&](const ScriptedTransport::Sent& s) { return s.bytes == message; }));
  }
  bool memoHas(const std::string& line) const {
    const auto& l = form->Memo1.lines;
    return std::find(l.begin(), l.end(), line) != l.end();
  }

  ScriptedHost host;
  VirtualClock clock{1000};
  ScriptedTransport comm{clock};
  std::unique_ptr<TForm_MAIN> form;
};

// A main form on a virtual clock linked to one simulated module (strict:
// every protocol violation of the host is recorded).
struct SimRig {
  explicit SimRig(SimConfig config, int buildMode = 0) {
    config.strict = true;
    module = comm.addModule("SIM0", config);
    comm.setCommName("SIM0");
    form = std::make_unique<TForm_MAIN>(buildMode, 0, host, clock, comm);
    form->FormCreate();
    // The exchanges and their timings on quiet-gap framing, which these
    // rules are written for; the fast link has tests of its own.
    form->setFastLink(false);
    comm.OpenPort();
    form->ModuleGeneration = Generation(config.generation);
    form->SectorCount = config.sectorCount;
    form->ResetBlockTable();
    if (config.generation == SimGeneration::Ost4) makeFreshMappingTable(form->MappingTable);
  }
  Bytes flash(uint32_t sector) const { return module->flash().read(sector); }
  // An operation has ended: its frame (hourglass, disabled window) is gone.
  bool frameLeft() const {
    return !form->OperationRunning && form->WindowEnabled && !host.hourglass;
  }
  bool memoHas(const std::string& line) const {
    const auto& l = form->Memo1.lines;
    return std::find(l.begin(), l.end(), line) != l.end();
  }
  size_t countSent(const Bytes& message) const {
    size_t n = 0;
    for (const auto& s : comm.sentLog()) n += s.bytes == message ? 1 : 0;
    return n;
  }
  Bytes readBack() const {
    return Bytes(form->ReadBuffer.Bytes().begin(), form->ReadBuffer.Bytes().end());
  }
  std::string violations() const {
    std::string all;
    for (const auto& v : module->violations()) all += v.text + "\n";
    return all;
  }
  // Puts data where the generation's write takes it from and plans the sector.
  void plan(uint16_t sector, const Bytes& data, bool erase, uint16_t block) {
    MemoryStream& stream =
        form->ModuleGeneration <= OstrelII ? form->FlashImage : form->PackageImage;
    const size_t offset = (form->ModuleGeneration <= OstrelII ? sector : block) * size_t(65536);
    if (stream.Size() < offset + 65536) stream.SetSize(offset + 65536);
    std::copy(data.begin(), data.end(), stream.Memory() + offset);
    form->BlockTable[sector] = {
        1,
        uint8_t(erase),
        byteSum(data),
        byteXor(data),
        block,
        form->ModuleGeneration <= OstrelII ? SectorSource::FlashImage : SectorSource::PackageImage};
  }

  ScriptedHost host;
  VirtualClock clock{1000};
  SimTransport comm{clock};
  std::shared_ptr<ModuleSim> module;
  std::unique_ptr<TForm_MAIN> form;
};

}  // namespace ostrel::test
