// Steps the main form's flash operations share: the Ostrel I/II sector
// selection, an erase with its retries, and what the displays and logs show
// around a whole-cartridge operation.
#pragma once

#include <cstdint>
#include <string>

#include "app/form_main.h"
#include "app/text_helpers.h"
#include "flash/block_table.h"

namespace ostrel {

// Ostrel I selects a sector in two framed steps, Ostrel II in one.
bool selectSector12(TForm_MAIN& f, uint16_t sector);

// Erases one sector, trying up to three times.
bool eraseSectorWithRetries(TForm_MAIN& f, uint16_t sector);

// "n sectors" as the displays show it: the last byte's offset, or zeros.
inline std::string byteSpan(uint32_t sectors) {
  return sectors == 0 ? "00000000" : upperHex(uint32_t(sectors * kSectorSize - 1), 8);
}

// Milliseconds on the form's clock since a tick, as digits.
inline std::string elapsedMs(TForm_MAIN& f, uint32_t since) {
  return std::to_string(uint32_t(f.clock.tick() - since));
}

// A button's operation starts with empty logs in the usual colour.
inline void clearLogs(TForm_MAIN& f) {
  f.Memo1.clear();
  f.Memo2.clear();
  f.Memo1.fontColor = Colors::kWindowText;
}

// After a write the views show what the cartridge now holds; whether both
// tables were read.
inline bool rereadTables(TForm_MAIN& f) {
  bool ok = true;
  if (f.ModuleGeneration == OstrelIV && f.readMappingTable) ok = f.readMappingTable();
  if (f.readFat) ok = f.readFat() && ok;
  return ok;
}

// The same, and the status lines keep the write's result; a table read that
// fails says so instead.
inline bool rereadTablesKeepingStatus(TForm_MAIN& f) {
  const std::string status1 = f.StaticText_Status1.text, status2 = f.StaticText_Status2.text;
  const bool ok = rereadTables(f);
  f.StaticText_Status1.text = status1;
  if (ok) f.StaticText_Status2.text = status2;
  return ok;
}

}  // namespace ostrel
