// The firmware of an Ostrel module (generations I to IV) as a state machine
// over a byte stream. Bytes from the host go in with the time they are sent; what
// the module sends comes out as emissions, each one burst that the host
// receives as one chunk at its time. Nothing here reads a clock: time only
// moves through the nowMs arguments, so the same script gives the same bytes.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sim/flash_store.h"

namespace ostrel {

enum class SimGeneration : uint8_t { Ost1 = 0, Ost2 = 1, Ost3 = 2, Ost4 = 3 };

enum class SimRepeat : uint8_t { Once, Always };

// Where a quality-control step of an Ostrel III/IV is made to fail: 0xD0 right
// after the first '[' mark, or right after the first '\' mark; no report at
// all after the first mark (the firmware hangs until powered again); or the
// final 'Z' carrying another serial number than the command's.
enum class QcFailure : uint8_t { None, AfterOpenBracket, AfterBackslash, Silent, WrongSerial };

struct SimFaults {
  // Ostrel III/IV: data chunk `chunk` (0..15) of a write to (physical) sector
  // `sector` is swallowed without an acknowledgement, once or every time.
  struct ChunkNack {
    uint32_t sector = 0;
    uint8_t chunk = 0;
    SimRepeat repeat = SimRepeat::Once;
  };
  std::optional<ChunkNack> chunkNack;
  // Every sum/xor report (DataCheckReply after a write or a read, the 0x30
  // check reply, Ostrel I/II QC replies) carries sum+1 and xor^1, once or always.
  std::optional<SimRepeat> wrongSum;
  // The first N complete commands are served; from command N+1 on the module
  // neither answers nor acts (as if hung) until it is powered again.
  std::optional<uint32_t> silenceAfterCommands;
  // A chip erase takes this long instead of its normal time (a too-fast erase).
  std::optional<uint32_t> chipEraseMs;
  // The next framed reply (once) or every framed reply (always) carries a
  // wrong checksum.
  std::optional<SimRepeat> badReplyChecksum;
  // After this many bytes from the host (counted from power-on) the cable is
  // pulled: later bytes are lost and nothing more is sent.
  std::optional<uint64_t> pullCableAfterHostBytes;
  QcFailure qcFailure = QcFailure::None;
  // Ostrel I/II: a worn sector. Every quality-control step reply for it (or,
  // with atChecksum, every 0x30 checksum reply) reports sum 00 and xor 01.
  struct WornSector {
    uint32_t sector = 0;
    bool atChecksum = false;
  };
  std::optional<WornSector> wornSector;
};

// Every time of the firmware, in milliseconds. Zero for chipEraseMs means the
// generation's default.
struct SimTimings {
  uint32_t replyDelayMs = 2;           // framed replies, raw acks of commands
  uint32_t chunkAckDelayMs = 3;        // 'Z' after an Ostrel III/IV data chunk
  uint32_t programMs = 120;            // Ostrel I/II: programming 64 KiB before the report
  uint32_t readDelayMs = 5;            // from a read trigger to the block
  uint32_t checkMs = 30;               // 0x30 sector checksum
  uint32_t sectorEraseMs = 700;        // Ostrel I/II sector erase (0x30 cycle)
  uint32_t bootSubBlockEraseMs = 250;  // Ostrel II 8 KiB boot sub-block erase
  uint32_t chipEraseMs = 0;            // 0: Ostrel I 34000, II 26000, III/IV 30000
  uint32_t blockEraseMs = 600;         // Ostrel III/IV 128 KiB block erase (A2)
  uint32_t ost4WriteEraseMs = 20;      // Ostrel IV erases the target before a write
  uint32_t qcSectorMs = 150;           // Ostrel I/II QC step on one sector
  uint32_t qcStartMs = 1000;           // Ostrel III/IV: from A5/A6 to its acceptance
  uint32_t qcMarkIntervalMs = 40;      // between two progress marks
  uint32_t minEmissionGapMs = 40;      // quiet between two unsolicited bursts
  uint32_t inputGapMs = 400;           // a partial command or chunk this quiet is abandoned
  // 0: unlimited; else bytes take their line time in both directions.
  uint32_t throughputBytesPerSec = 0;
};

struct SimConfig {
  SimGeneration generation = SimGeneration::Ost3;
  // false: the Ostrel I identify reply, which carries no TypeCode (L = 9).
  bool sendTypeCode = true;
  uint8_t typeCode = 0x84;
  // SectorCount the host derives from the TypeCode.
  uint16_t sectorCount = 256;
  // Identify bytes: auxiliary number (0..3), then ID (4..7).
  std::array<uint8_t, 8> identity{0x00, 0x00, 0x00, 0x01, 0x12, 0x34, 0x56, 0x78};
  SimTimings timings;
  SimFaults faults;
  // Records every protocol violation of the host (see violations()).
  bool strict = false;
  // Every burst goes out in pieces cut at random points, a millisecond apart,
  // the same pieces for the same number: a host must take replies whole
  // from what it expects, not from how they arrive.
  std::optional<uint32_t> splitReplies;
  // Ostrel III/IV: every acknowledgement of a command or data chunk is
  // followed a millisecond later by one more byte, 00. A host that takes a
  // reply after a quiet line gets both as one reply; one that takes bytes as
  // they come cannot tell where the reply ends.
  bool trailingByte = false;

  // A module as the identification table describes it: 0x80/0x81 Ostrel II,
  // 0x82..0x85 Ostrel III, 0x89..0x8B Ostrel IV. 0x00 gives the 256-sector
  // Ostrel III a debug build takes it for; any other code an Ostrel III of
  // 256 sectors that reports the unknown code.
  static SimConfig fromTypeCode(uint8_t typeCode);
  static SimConfig ostrel1();
  // Whether the TypeCode is one of the identification table.
  static bool knownTypeCode(uint8_t typeCode);
  // Chip erase time after defaults and faults.
  uint32_t chipEraseTime() const;
  // Highest physical sector + 1 the flash holds: Ostrel IV 60002 (60000 and
  // 60001 keep the mapping table), others sectorCount.
  uint32_t flashCapacity() const;
  // Ostrel IV: physical sectors 0..sectorCount and 60000/60001; others 0..sectorCount-1.
  bool validSector(uint32_t sector) const;
  std::string describe() const;
};

struct SimEmission {
  uint32_t atMs = 0;
  std::vector<uint8_t> bytes;
};

struct SimViolation {
  uint32_t atMs = 0;
  std::string text;
};

class ModuleSim {
 public:
  // Without a store the flash lives in memory, all erased.
  explicit ModuleSim(SimConfig config, std::unique_ptr<FlashStore> store = nullptr);
  ~ModuleSim();

  const SimConfig& config() const { return config_; }
  SimFaults& faults() { return config_.faults; }
  SimTimings& timings() { return config_.timings; }
  FlashStore& flash() { return *flash_; }
  const FlashStore& flash() const { return *flash_; }

  // Bytes from the host, in order, split or merged in any way, as they are
  // sent at nowMs; with a throughput limit the firmware sees them after
  // their line time.
  void onHostBytes(const uint8_t* data, size_t length, uint32_t nowMs);
  // Runs the firmware's own timed work (erase ends, progress marks, abandoned
  // partial input) that is due by nowMs.
  void advanceTo(uint32_t nowMs);
  // When advanceTo should next be called: the earliest pending emission or
  // internal event, rounded up to the tick. Empty when the module waits only
  // for the host.
  std::optional<uint32_t> nextEventAt() const;
  // Time of the earliest emission already produced (call advanceTo first),
  // rounded up to the tick.
  std::optional<uint32_t> nextEmissionAt() const;

  // The same on a microsecond timeline of the driver's own (a steady clock),
  // for a driver that can wait to the microsecond: at a line rate a byte
  // takes a microsecond, and whole-millisecond waits would add up to a
  // millisecond to every burst. A driver uses this timeline or the tick one,
  // not both.
  void onHostBytesUs(const uint8_t* data, size_t length, int64_t nowUs);
  void advanceToUs(int64_t nowUs);
  std::optional<int64_t> nextEventAtUs() const;
  std::optional<int64_t> nextEmissionAtUs() const;
  // Removes and returns the earliest produced emission (empty when none).
  std::vector<uint8_t> takeEmission();
  // advanceTo(nowMs), then the earliest emission if it is due by nowMs.
  std::optional<SimEmission> takeDueEmission(uint32_t nowMs);

  // Power off and on (module unplugged and plugged again): the protocol state,
  // pending work and queued replies are dropped, the flash keeps its content,
  // the faults stay configured (once-faults that fired stay spent).
  void powerCycle();
  // The cable-pulled fault fired (or pullCable was called).
  bool cablePulled() const { return cablePulled_; }
  void pullCable();

  const std::vector<SimViolation>& violations() const { return violations_; }
  void clearViolations() { violations_.clear(); }
  // Strict mode only; also used by transports for what they observe.
  void recordViolation(const std::string& text, uint32_t nowMs);
  // Complete commands received since power-on.
  uint32_t commandCount() const { return commandCount_; }
  uint64_t hostByteCount() const { return hostBytes_; }
  // Microseconds the firmware worked before its bursts (replies, erases,
  // programming), not counting the line: with the bytes' line time, the
  // least any host needs for the exchanges so far.
  int64_t firmwareUs() const { return firmwareUs_; }
  // The part of it spent erasing.
  int64_t eraseUs() const { return eraseUs_; }
  // The bytes of the frame the module sends for a command code and parameters.
  static std::vector<uint8_t> frame(std::initializer_list<uint8_t> codeAndParams);

 private:
  enum class Mode : uint8_t {
    Command,
    WriteData12,  // Ostrel I/II raw data of a 0x10 write
    ReadArmed12,  // Ostrel I/II after 0x20: waits for the 00 trigger
    ReadSent12,   // block sent: the next 00 asks for the report
    RawWriteChunks,
    RawRead,
  };
  struct QcJob;

  int64_t toAbs(uint32_t nowMs);
  // The tick by which a moment of the timeline has come.
  static uint32_t toTick(int64_t abs) { return uint32_t(uint64_t((abs + 999) / 1000)); }
  // The moment ms milliseconds of firmware time from now.
  int64_t after(uint32_t ms) const { return now_ + int64_t(ms) * 1000; }
  void at(int64_t when, std::function<void()> fn);
  void runDue(int64_t until);
  void emit(int64_t when, std::vector<uint8_t> bytes, bool tail = false);
  // An Ostrel III/IV acknowledgement, with its trailing byte when set.
  void emitRaw(int64_t when, std::vector<uint8_t> bytes);
  void emitFrame(int64_t when, std::vector<uint8_t> codeAndParams);
  void violation(const std::string& text);
  bool framedFamily() const;
  bool busy() const { return busyUntil_ > now_; }
  void process();
  bool processCommand();
  bool commandAllowed();
  void handleFramed(const std::vector<uint8_t>& f);
  void handleFramedWhileBusy(const std::vector<uint8_t>& f);
  void handleRaw(const std::vector<uint8_t>& cmd);
  void eraseCycle(uint8_t code, uint8_t data, const std::vector<uint8_t>& f);
  void startBusy(uint32_t ms, std::function<void()> done);
  void finishWrite12();
  void rawChunkComplete();
  void startQc(uint8_t step, uint8_t serial);
  void qcTick();
  bool worn(uint32_t sector, bool atChecksum) const;
  // How long bytes take on the line (zero when it is unlimited).
  int64_t lineTime(size_t bytes) const;
  void hostBytesNow(const uint8_t* data, size_t length);
  void receive(const uint8_t* data, size_t length);
  // When a partial command or chunk left this quiet is abandoned; empty when
  // none is waiting or the firmware is busy.
  std::optional<int64_t> partialInputDeadline() const;
  void abandonPartialInput();
  std::pair<uint8_t, uint8_t> report(uint8_t sum, uint8_t x);
  bool checkNotErased(uint32_t sector);
  std::pair<uint8_t, uint8_t> sumXor(uint32_t sector, uint32_t length) const;
  std::vector<uint32_t> qcUnitSectors(uint32_t unit) const;

  SimConfig config_;
  std::unique_ptr<FlashStore> flash_;

  // Time: an absolute 64-bit timeline in microseconds; the tick is its
  // millisecond, in 32 bits.
  bool started_ = false;
  int64_t now_ = 0;
  uint32_t lastTick_ = 0;
  uint64_t seq_ = 0;
  std::map<std::pair<int64_t, uint64_t>, std::function<void()>> events_;
  struct Out {
    int64_t at;
    std::vector<uint8_t> bytes;
  };
  std::deque<Out> outbox_;
  int64_t lineFreeAt_ = INT64_MIN;
  int64_t lastEmitAt_ = INT64_MIN;
  int64_t lastInputAt_ = INT64_MIN;
  int64_t hostLineFreeAt_ = INT64_MIN;  // host-to-module line busy until

  // Protocol state.
  Mode mode_ = Mode::Command;
  std::vector<uint8_t> in_;
  int64_t busyUntil_ = INT64_MIN;
  uint32_t selected_ = 0;
  bool haveSelected_ = false;
  std::vector<uint8_t> cycles_;  // Ostrel I/II flash command cycles since select
  uint8_t addr1_ = 0, addr2_ = 0;
  uint32_t lastSector_ = 0;  // Ostrel III/IV: last addressed sector (for 0x30)
  uint32_t xferSector_ = 0;
  uint32_t xferLength_ = 0;
  std::vector<uint8_t> xfer_;  // data of the transfer in progress
  uint32_t chunk_ = 0;         // next chunk of a raw write / piece of a raw read
  uint8_t readSum_ = 0, readXor_ = 0;
  bool shortForm_ = false;  // take an Ostrel IV A7/A8 in its 7-byte form
  std::unique_ptr<QcJob> qc_;

  int64_t firmwareUs_ = 0;
  int64_t eraseUs_ = 0;
  uint32_t commandCount_ = 0;
  uint64_t hostBytes_ = 0;
  bool silent_ = false;
  bool cablePulled_ = false;
  bool chunkNackSpent_ = false;
  bool wrongSumSpent_ = false;
  bool badChecksumSpent_ = false;
  std::vector<SimViolation> violations_;
  std::mt19937 splitRandom_;
};

}  // namespace ostrel
