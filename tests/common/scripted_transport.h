// A Transport for protocol tests: records what is sent, with the virtual time,
// and answers through a test-supplied responder whose chunks are delivered at
// virtual times, one OnReceiveData call per chunk.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/clock.h"
#include "link/transport.h"

namespace ostrel {

class ScriptedTransport : public Transport {
 public:
  struct Sent {
    uint32_t tick;
    std::vector<uint8_t> bytes;
  };
  struct Reply {
    uint32_t delayMs;
    std::vector<uint8_t> bytes;
  };
  using Responder = std::function<std::vector<Reply>(const std::vector<uint8_t>& sent)>;

  explicit ScriptedTransport(VirtualClock& clock) : clock_(clock) {}

  void OpenPort() override {
    if (open_) throw ECommsError("This serial port already opened");
    if (!openable || (openableNames.size() && !contains(openableNames, name_)))
      throw ECommsError("Error opening serial port", deniedHint);
    open_ = true;
    ++openCount;
    opened.push_back(name_);
    openedParity.push_back(parity_);
  }
  void ClosePort() override {
    open_ = false;
    for (TimerId id : pending_) clock_.cancel(id);
    pending_.clear();
  }
  bool isOpen() const override { return open_; }
  bool SendBytes(const uint8_t* data, uint16_t length) override {
    if (!open_ || length == 0) return false;
    std::vector<uint8_t> bytes(data, data + length);
    sent.push_back({clock_.tick(), bytes});
    if (responder) {
      for (Reply& r : responder(bytes)) {
        TimerId id = clock_.schedule(r.delayMs, [this, b = std::move(r.bytes)] {
          if (open_ && OnReceiveData) OnReceiveData(b.data(), uint16_t(b.size()));
        });
        pending_.push_back(id);
      }
    }
    return true;
  }
  const std::string& CommName() const override { return name_; }
  void setCommName(const std::string& name) override { name_ = name; }
  uint32_t BaudRate() const override { return baud_; }
  void setBaudRate(uint32_t baud) override { baud_ = baud; }
  TParity Parity() const override { return parity_; }
  void setParity(TParity parity) override { parity_ = parity; }
  TStopBits StopBits() const override { return stop_; }
  void setStopBits(TStopBits bits) override { stop_ = bits; }
  TByteSize ByteSize() const override { return size_; }
  void setByteSize(TByteSize size) override { size_ = size; }
  uint32_t ReadIntervalTimeout() const override { return interval_; }
  void setReadIntervalTimeout(uint32_t ms) override { interval_ = ms; }

  Responder responder;
  std::vector<Sent> sent;
  bool openable = true;
  std::vector<std::string> openableNames;
  std::string deniedHint;  // given with a refused open, as a port without permission does
  std::vector<std::string> opened;
  std::vector<TParity> openedParity;
  int openCount = 0;

 private:
  static bool contains(const std::vector<std::string>& v, const std::string& s) {
    for (const auto& x : v)
      if (x == s) return true;
    return false;
  }
  VirtualClock& clock_;
  bool open_ = false;
  std::string name_ = "COM1";
  uint32_t baud_ = 115200;
  TParity parity_ = TParity::None;
  TStopBits stop_ = TStopBits::_2;
  TByteSize size_ = TByteSize::_8;
  uint32_t interval_ = 100;
  std::vector<TimerId> pending_;
};

}  // namespace ostrel
