// An in-process serial port to simulated modules, driven by a Clock (a
// VirtualClock in tests): bytes sent reach the module at once (or after a
// modelled line time), and each burst the module sends is delivered to
// OnReceiveData as one chunk at its own time through clock.schedule; with a
// ReadIntervalTimeout, as the serial component does, bursts gather until the
// line has been quiet that long and arrive as one chunk. Every
// plugged module runs on the clock whether or not its port is open; bursts
// of a module whose port is closed are lost.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/clock.h"
#include "link/transport.h"
#include "sim/module_sim.h"

namespace ostrel {

class SimTransport : public Transport {
 public:
  struct SentRecord {
    uint32_t atMs = 0;
    std::string port;
    std::vector<uint8_t> bytes;
  };
  struct ReceivedRecord {
    uint32_t atMs = 0;
    std::vector<uint8_t> bytes;
  };

  explicit SimTransport(Clock& clock);
  ~SimTransport() override;

  // Ports. A module plugged on a port; several ports may hold modules.
  void addPort(const std::string& name, std::shared_ptr<ModuleSim> module);
  // Convenience: plugs a new module built from config (flash in memory).
  std::shared_ptr<ModuleSim> addModule(const std::string& name, const SimConfig& config);
  // The module is unplugged: an open port to it behaves as a pulled cable.
  void removePort(const std::string& name);
  // Another program holds the port: opening it fails.
  void setPortBusy(const std::string& name, bool busy);
  // A port without a module (opens, never answers).
  void addSilentPort(const std::string& name);
  std::vector<std::string> portNames() const;
  std::shared_ptr<ModuleSim> module(const std::string& name) const;

  // The cable of the open port is pulled: deliveries stop, sends are lost
  // (SendBytes returns false) and the port cannot be opened again until replug.
  void pullCable();
  bool cablePulled() const;
  // The module comes back on the port (powered anew).
  void replug(const std::string& name);

  // Host-to-module line time in bytes per second (0: bytes arrive at once).
  // A module with its own throughput limit already delays the host's bytes:
  // set one or the other, not both.
  void setHostBytesPerSec(uint32_t bytesPerSec) { hostBytesPerSec_ = bytesPerSec; }
  // Records a violation in the module (strict mode) when bytes are sent with
  // line settings other than the identify probe's (9600, Mark, 1 stop bit) or
  // the generation's.
  void setCheckLineSettings(bool on) { checkLineSettings_ = on; }

  const std::vector<SentRecord>& sentLog() const { return sent_; }
  const std::vector<ReceivedRecord>& receivedLog() const { return received_; }
  void clearLogs() {
    sent_.clear();
    received_.clear();
  }

  // Transport
  void OpenPort() override;
  void ClosePort() override;
  bool isOpen() const override { return open_; }
  bool SendBytes(const uint8_t* data, uint16_t length) override;
  const std::string& CommName() const override { return commName_; }
  void setCommName(const std::string& name) override { commName_ = name; }
  uint32_t BaudRate() const override { return baud_; }
  void setBaudRate(uint32_t baud) override { baud_ = baud; }
  TParity Parity() const override { return parity_; }
  void setParity(TParity parity) override { parity_ = parity; }
  TStopBits StopBits() const override { return stopBits_; }
  void setStopBits(TStopBits bits) override { stopBits_ = bits; }
  TByteSize ByteSize() const override { return byteSize_; }
  void setByteSize(TByteSize size) override { byteSize_ = size; }
  uint32_t ReadIntervalTimeout() const override { return readInterval_; }
  void setReadIntervalTimeout(uint32_t ms) override { readInterval_ = ms; }

 private:
  struct Port {
    std::shared_ptr<ModuleSim> module;  // null: nothing answers
    bool busy = false;
    bool present = true;
  };
  void pump();
  void onTimer();
  void deliver(const std::vector<uint8_t>& bytes);
  void gather(const std::vector<uint8_t>& bytes);
  void cancelTimer();
  void checkSettings(ModuleSim& m, const uint8_t* data, uint16_t length);

  Clock& clock_;
  std::map<std::string, Port> ports_;
  std::string commName_;
  std::string openName_;
  bool open_ = false;
  bool pulled_ = false;
  uint32_t generation_ = 0;  // bumps on every open/close: stale timers do nothing
  TimerId timer_ = 0;
  bool timerArmed_ = false;
  uint32_t timerAt_ = 0;
  uint32_t hostBytesPerSec_ = 0;
  uint32_t hostLineFreeAt_ = 0;
  bool checkLineSettings_ = false;
  uint32_t baud_ = 9600;
  TParity parity_ = TParity::None;
  TStopBits stopBits_ = TStopBits::_1;
  TByteSize byteSize_ = TByteSize::_8;
  uint32_t readInterval_ = 0;
  std::vector<uint8_t> gathered_;  // bytes waiting for the quiet gap
  uint32_t gatheredGeneration_ = 0;
  TimerId quietTimer_ = 0;
  bool quietArmed_ = false;
  std::vector<SentRecord> sent_;
  std::vector<ReceivedRecord> received_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace ostrel
