// TComm: the serial port on Linux termios. A reader thread frames what
// arrives into chunks (a chunk ends when the line has been quiet for
// ReadIntervalTimeout ms or 32768 bytes have gathered, so one module reply is
// one chunk); bytes sent while nothing is queued go to the driver at once,
// and a writer thread sends what the driver could not take yet, whole and in
// order. Every chunk and notification reaches the owner on the thread that
// created the component (the user-interface thread) as a queued call, in
// arrival order.
//
// Create, use and destroy it on the user-interface thread; the port threads
// never call the owner directly.
//
// Port names: an absolute path is opened as it stands; any other name is
// taken relative to /dev ("ttyUSB0" -> "/dev/ttyUSB0"). The default name
// "COM2" therefore names no device until the owner sets a real one. Only a
// character device is opened, and the terminal settings it had are put back
// when the port closes.
#pragma once

#include <termios.h>

#include <QObject>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "link/transport.h"

namespace ostrel {

class TComm : public QObject, public Transport {
 public:
  using ReceiveErrorEvent = std::function<void(uint32_t eventMask)>;
  using ModemStateChangeEvent = std::function<void(uint32_t modemEvent)>;
  using NotifyEvent = std::function<void()>;

  // Largest chunk one OnReceiveData call carries.
  static constexpr size_t kMaxChunk = 32768;
  // OnReceiveError flags (the classic comm-error bits).
  static constexpr uint32_t kErrorRxOver = 0x0001;
  static constexpr uint32_t kErrorOverrun = 0x0002;
  static constexpr uint32_t kErrorRxParity = 0x0004;
  static constexpr uint32_t kErrorFrame = 0x0008;
  static constexpr uint32_t kErrorBreak = 0x0010;
  // OnModemStateChange values, or-ed together.
  static constexpr uint32_t kModemRing = 4;
  static constexpr uint32_t kModemCarrier = 8;
  // How long ClosePort lets already queued writes reach the line before it
  // abandons them.
  static constexpr int kCloseDrainMs = 100;

  explicit TComm(QObject* parent = nullptr);
  ~TComm() override;
  TComm(const TComm&) = delete;
  TComm& operator=(const TComm&) = delete;

  void OpenPort() override;  // throws ECommsError, leaves the port closed on failure
  void ClosePort() override;
  bool isOpen() const override { return session_ != nullptr; }
  bool SendBytes(const uint8_t* data, uint16_t length) override;
  // True when nothing waits to be written.
  bool SendDataEmpty() const { return sendDataEmpty_.load(); }

  // Write the properties to the open port; nothing happens when closed.
  void ApplyLineSettings();
  void ApplyTimeouts();

  // The device path a port name stands for.
  static std::string devicePath(const std::string& name);
  // Nearest termios speed for a baud rate (never B0, which would hang up).
  static speed_t baudToSpeed(uint32_t baud);

  // Published properties; line-setting setters apply at once when open.
  const std::string& CommName() const override { return commName_; }
  void setCommName(const std::string& name) override { commName_ = name; }
  uint32_t BaudRate() const override { return baudRate_; }
  void setBaudRate(uint32_t baud) override { setLine(baudRate_, baud); }
  bool ParityCheck() const { return parityCheck_; }
  void setParityCheck(bool on) { setLine(parityCheck_, on); }
  bool Outx_CtsFlow() const { return outxCtsFlow_; }
  void setOutx_CtsFlow(bool on) { setLine(outxCtsFlow_, on); }
  bool Outx_DsrFlow() const { return outxDsrFlow_; }
  void setOutx_DsrFlow(bool on) { setLine(outxDsrFlow_, on); }
  TDtrControl DtrControl() const { return dtrControl_; }
  void setDtrControl(TDtrControl c) { setLine(dtrControl_, c); }
  bool DsrSensitivity() const { return dsrSensitivity_; }
  void setDsrSensitivity(bool on) { setLine(dsrSensitivity_, on); }
  bool TxContinueOnXoff() const { return txContinueOnXoff_; }
  void setTxContinueOnXoff(bool on) { setLine(txContinueOnXoff_, on); }
  bool Outx_XonXoffFlow() const { return outxXonXoffFlow_; }
  void setOutx_XonXoffFlow(bool on) { setLine(outxXonXoffFlow_, on); }
  bool Inx_XonXoffFlow() const { return inxXonXoffFlow_; }
  void setInx_XonXoffFlow(bool on) { setLine(inxXonXoffFlow_, on); }
  bool ReplaceWhenParityError() const { return replaceWhenParityError_; }
  void setReplaceWhenParityError(bool on) { setLine(replaceWhenParityError_, on); }
  bool IgnoreNullChar() const { return ignoreNullChar_; }
  void setIgnoreNullChar(bool on) { setLine(ignoreNullChar_, on); }
  TRtsControl RtsControl() const { return rtsControl_; }
  void setRtsControl(TRtsControl c) { setLine(rtsControl_, c); }
  uint16_t XonLimit() const { return xonLimit_; }
  void setXonLimit(uint16_t v) { setLine(xonLimit_, v); }
  uint16_t XoffLimit() const { return xoffLimit_; }
  void setXoffLimit(uint16_t v) { setLine(xoffLimit_, v); }
  TByteSize ByteSize() const override { return byteSize_; }
  void setByteSize(TByteSize size) override { setLine(byteSize_, size); }
  TParity Parity() const override { return parity_; }
  void setParity(TParity parity) override { parity_ = parity; }  // used at the next open
  TStopBits StopBits() const override { return stopBits_; }
  void setStopBits(TStopBits bits) override { setLine(stopBits_, bits); }
  uint8_t XonChar() const { return xonChar_; }
  void setXonChar(uint8_t c) { setLine(xonChar_, c); }
  uint8_t XoffChar() const { return xoffChar_; }
  void setXoffChar(uint8_t c) { setLine(xoffChar_, c); }
  uint8_t ReplacedChar() const { return replacedChar_; }
  void setReplacedChar(uint8_t c) { setLine(replacedChar_, c); }
  uint32_t ReadIntervalTimeout() const override { return readIntervalTimeout_; }
  void setReadIntervalTimeout(uint32_t ms) override { setTimeout(readIntervalTimeout_, ms); }
  uint32_t ReadTotalTimeoutMultiplier() const { return readTotalTimeoutMultiplier_; }
  void setReadTotalTimeoutMultiplier(uint32_t v) { setTimeout(readTotalTimeoutMultiplier_, v); }
  uint32_t ReadTotalTimeoutConstant() const { return readTotalTimeoutConstant_; }
  void setReadTotalTimeoutConstant(uint32_t v) { setTimeout(readTotalTimeoutConstant_, v); }
  uint32_t WriteTotalTimeoutMultiplier() const { return writeTotalTimeoutMultiplier_; }
  void setWriteTotalTimeoutMultiplier(uint32_t v) { setTimeout(writeTotalTimeoutMultiplier_, v); }
  uint32_t WriteTotalTimeoutConstant() const { return writeTotalTimeoutConstant_; }
  void setWriteTotalTimeoutConstant(uint32_t v) { setTimeout(writeTotalTimeoutConstant_, v); }

  // Events on the user-interface thread (OnReceiveData and OnRequestHangup
  // come from Transport).
  ReceiveErrorEvent OnReceiveError;
  ModemStateChangeEvent OnModemStateChange;
  NotifyEvent OnSendDataEmpty;

 protected:
  bool event(QEvent* e) override;  // runs the notices the port threads post

 private:
  struct Session;
  class Notice;

  template <class T>
  void setLine(T& field, T value) {
    if (field == value) return;
    field = value;
    if (isOpen()) ApplyLineSettings();
  }
  void setTimeout(uint32_t& field, uint32_t value) {
    if (field == value) return;
    field = value;
    if (isOpen()) ApplyTimeouts();
  }

  void readLoop(Session& s);
  void writeLoop(Session& s);
  void checkLineCounters(Session& s);
  void stopSession(bool drain);
  // From the port threads: queue fn to run on the user-interface thread,
  // dropped there if the session that posted it has ended meanwhile.
  void post(uint64_t generation, std::function<void()> fn);
  void postReceiveData(Session& s, const uint8_t* data, size_t length);
  void postHangup(Session& s);

  std::string commName_ = "COM2";
  uint32_t baudRate_ = 9600;
  bool parityCheck_ = false;
  bool outxCtsFlow_ = false;
  bool outxDsrFlow_ = false;
  TDtrControl dtrControl_ = TDtrControl::DtrEnable;
  bool dsrSensitivity_ = false;
  bool txContinueOnXoff_ = true;
  bool outxXonXoffFlow_ = true;
  bool inxXonXoffFlow_ = true;
  bool replaceWhenParityError_ = false;
  bool ignoreNullChar_ = false;
  TRtsControl rtsControl_ = TRtsControl::RtsEnable;
  uint16_t xonLimit_ = 500;
  uint16_t xoffLimit_ = 500;
  TByteSize byteSize_ = TByteSize::_8;
  TParity parity_ = TParity::None;
  TStopBits stopBits_ = TStopBits::_1;
  uint8_t xonChar_ = 0x11;
  uint8_t xoffChar_ = 0x13;
  uint8_t replacedChar_ = 0x00;
  uint32_t readIntervalTimeout_ = 100;
  uint32_t readTotalTimeoutMultiplier_ = 0;
  uint32_t readTotalTimeoutConstant_ = 0;
  uint32_t writeTotalTimeoutMultiplier_ = 0;
  uint32_t writeTotalTimeoutConstant_ = 0;

  TParity openParity_ = TParity::None;  // the parity the open port was set up with
  std::unique_ptr<Session> session_;    // exists while the port is open
  uint64_t generation_ = 0;             // changes at every open and close (UI thread only)
  std::atomic<bool> sendDataEmpty_{true};
  char raceSync_ = 0;  // address the thread-sanitizer annotations hang on
};

// The values the main window creates its port with (Comm1): "COM1", 115200
// baud, no flow control of any kind, DTR and RTS off, 2 stop bits. Without
// them XON/XOFF would swallow 0x11 and 0x13 bytes of sector data.
void applyComm1Values(TComm& comm);

}  // namespace ostrel
