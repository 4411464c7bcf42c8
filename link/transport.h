// The byte road between the protocol and a module: a serial port (TComm) or,
// in tests, an in-process peer. Received bytes reach OnReceiveData on the
// user-interface thread, in arrival order, one chunk per call.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

namespace ostrel {

enum class TParity : uint8_t { None, Odd, Even, Mark, Space };
enum class TStopBits : uint8_t { _1, _1_5, _2 };
enum class TByteSize : uint8_t { _5, _6, _7, _8 };
enum class TDtrControl : uint8_t { DtrEnable, DtrDisable, DtrHandshake };
enum class TRtsControl : uint8_t { RtsEnable, RtsDisable, RtsHandshake, RtsTransmissionAvailable };

// Raised only by OpenPort; the texts are the component's own.
class ECommsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  ECommsError(const std::string& what, std::string hint)
      : std::runtime_error(what), accessHint(std::move(hint)) {}
  // Set when the user may not open the port: why, and what helps.
  std::string accessHint;
};

class Transport {
 public:
  using ReceiveDataEvent = std::function<void(const uint8_t* buffer, uint16_t length)>;
  using NotifyEvent = std::function<void()>;

  virtual ~Transport() = default;

  virtual void OpenPort() = 0;  // throws ECommsError; the port stays closed on failure
  virtual void ClosePort() = 0;
  virtual bool isOpen() const = 0;
  // Copies and queues; never blocks. False when closed or length is 0.
  virtual bool SendBytes(const uint8_t* data, uint16_t length) = 0;

  // The line settings discovery changes between probes.
  virtual const std::string& CommName() const = 0;
  virtual void setCommName(const std::string& name) = 0;
  virtual uint32_t BaudRate() const = 0;
  virtual void setBaudRate(uint32_t baud) = 0;
  virtual TParity Parity() const = 0;
  virtual void setParity(TParity parity) = 0;  // takes effect at the next open
  virtual TStopBits StopBits() const = 0;
  virtual void setStopBits(TStopBits bits) = 0;
  virtual TByteSize ByteSize() const = 0;
  virtual void setByteSize(TByteSize size) = 0;
  virtual uint32_t ReadIntervalTimeout() const = 0;
  virtual void setReadIntervalTimeout(uint32_t ms) = 0;

  ReceiveDataEvent OnReceiveData;
  // The line hung up (a cable pulled, a module unplugged): nothing more will
  // arrive. It comes after the data received before it, on the same thread.
  NotifyEvent OnRequestHangup;
};

// A transport in front of another that passes everything on: the base of
// the ones that only change what goes through (pieces, damage, counting).
// What the inner one receives goes where the derived one's constructor says.
class ForwardingTransport : public Transport {
 public:
  explicit ForwardingTransport(Transport& inner) : inner_(inner) {
    inner_.OnRequestHangup = [this] {
      if (OnRequestHangup) OnRequestHangup();
    };
  }
  ~ForwardingTransport() override {
    inner_.OnReceiveData = nullptr;
    inner_.OnRequestHangup = nullptr;
  }

  void OpenPort() override { inner_.OpenPort(); }
  void ClosePort() override { inner_.ClosePort(); }
  bool isOpen() const override { return inner_.isOpen(); }
  bool SendBytes(const uint8_t* data, uint16_t length) override {
    return inner_.SendBytes(data, length);
  }
  const std::string& CommName() const override { return inner_.CommName(); }
  void setCommName(const std::string& name) override { inner_.setCommName(name); }
  uint32_t BaudRate() const override { return inner_.BaudRate(); }
  void setBaudRate(uint32_t baud) override { inner_.setBaudRate(baud); }
  TParity Parity() const override { return inner_.Parity(); }
  void setParity(TParity parity) override { inner_.setParity(parity); }
  TStopBits StopBits() const override { return inner_.StopBits(); }
  void setStopBits(TStopBits bits) override { inner_.setStopBits(bits); }
  TByteSize ByteSize() const override { return inner_.ByteSize(); }
  void setByteSize(TByteSize size) override { inner_.setByteSize(size); }
  uint32_t ReadIntervalTimeout() const override { return inner_.ReadIntervalTimeout(); }
  void setReadIntervalTimeout(uint32_t ms) override { inner_.setReadIntervalTimeout(ms); }

 protected:
  Transport& inner_;
};

}  // namespace ostrel
