// The packet protocol: framed CommandPackets (Ostrel I/II), raw commands with
// acknowledged chunks (Ostrel III/IV), the receive parsers and the waits.
#include <algorithm>
#include <string>

#include "app/fault_codes.h"
#include "app/form_main.h"
#include "link/frame.h"
#include "link/reply_form_scope.h"

namespace ostrel {

namespace {
constexpr const char* kTag = "OST3_Return_Value";
constexpr uint32_t kBusyStepMs = 200;
constexpr size_t kChunkSize = 4096;
constexpr size_t kSectorBytes = 65536;
// Received-data log lines show at most this many bytes, then "...".
constexpr size_t kLoggedBytes = 64;
// A device that keeps sending must not overflow the counters or fill memory:
// the counters stop at these bounds (far beyond any reply or block), and the
// ReadBuffer keeps no more than a block and one piece beyond it, enough to
// tell that more came than was asked for.
constexpr int32_t kCountBound = 1 << 24;
constexpr size_t kReadBufferLimit = kSectorBytes + kChunkSize;

int32_t boundedCount(int64_t value) {
  return int32_t(std::clamp<int64_t>(value, -kCountBound, kCountBound));
}

// Appends a block piece to the ReadBuffer up to its limit.
void appendBlockBytes(MemoryStream& buffer, const uint8_t* bytes, size_t length) {
  const size_t room = buffer.Size() < kReadBufferLimit ? kReadBufferLimit - buffer.Size() : 0;
  buffer.Seek(buffer.Size());
  buffer.Write(bytes, std::min(room, length));
}
}  // namespace

std::string TForm_MAIN::shortHexLine(const uint8_t* bytes, size_t count) const {
  if (count <= kLoggedBytes) return hexLine(bytes, count);
  return hexLine(bytes, kLoggedBytes) + "... ";
}

void TForm_MAIN::BusyStep() {
  ++BusyCounter;
  if (BusyCounter >= 5) BusyCounter = 0;
  BusyMarks.assign(size_t(BusyCounter + 1), '>');
  StaticText_Status2.text = busyLine();
}

int TForm_MAIN::Get_Command_Serial_Number() {
  CommandSerial = (CommandSerial + 1) % 256;
  return CommandSerial;
}

bool TForm_MAIN::retryAfterUnaccepted(uint32_t totalTime, int& retries) {
  if (totalTime != kCountedRetryTime) return true;  // plain limits: retry until the deadline
  if (ReplyComplete) {
    // A wrong answer means the module is alive: under the long erase limit
    // only consecutive silences use up the retries.
    retries = RetryBudget;
    clock.sleep(500);
    return true;
  }
  if (retries == 0) return false;
  --retries;
  return true;
}

bool TForm_MAIN::Comm1_WriteCommData(const uint8_t* data, uint32_t length) {
  if (length == 0 || !Comm1.isOpen()) return false;
  // The component takes at most 65535 bytes a call; a 64 KiB data phase goes
  // out in 4096-byte pieces, queued in order.
  for (uint32_t done = 0; done < length;) {
    uint32_t piece = std::min<uint32_t>(length - done, kChunkSize);
    if (!Comm1.SendBytes(data + done, uint16_t(piece))) return false;
    done += piece;
  }
  return true;
}

bool TForm_MAIN::Send_Package(const uint8_t* data, int sendMode, uint32_t replyWait,
                              uint32_t totalTime) {
  const ReplyFormScope frames(*this, ReplyForm::Frame);
  ReceiveMode = 1;
  int retries = RetryBudget;
  const size_t n = data[0] & 0x7F;
  std::vector<uint8_t> frame(data, data + n + 1);
  frame.push_back(sum8(frame));
  const uint8_t expected = uint8_t(data[1] + 0x40);
  auto logFrame = [&] {
    Memo2_Lines_Add(kTag, "");
    if (debugLogAccepts(kTag))
      Memo2_Lines_Add(
          kTag, "< " + std::to_string(clock.tick()) + hexLine(frame.data(), frame.size()) + ">");
  };
  auto replyDone = [this] { return ReplyComplete != 0; };

  bool result = false;
  if (sendMode == 0) {
    const uint32_t deadline = clock.tick() + totalTime;
    while (tickBefore(clock.tick(), deadline)) {
      BusyStep();
      logFrame();
      ReplyComplete = 0;
      ReceivedCount = 0;
      const uint32_t replyDeadline = clock.tick() + replyWait;
      Comm1_WriteCommData(frame.data(), uint32_t(frame.size()));
      clock.waitUntil(replyDone, replyDeadline);
      if (ReplyComplete && ReplyBuffer[1] == expected) {
        result = true;
        break;
      }
      if (!retryAfterUnaccepted(totalTime, retries)) break;
    }
  } else if (sendMode == 1) {
    logFrame();
    ReplyComplete = 0;
    ReceivedCount = 0;
    const uint32_t replyDeadline = clock.tick() + replyWait;
    Comm1_WriteCommData(frame.data(), uint32_t(frame.size()));
    clock.waitUntil(replyDone, replyDeadline);
    result = true;
  }
  if (!result) ReportFault(FaultCode::k0000);
  return result;
}

bool TForm_MAIN::Send_Package_OST3(const uint8_t* data, uint32_t length, int sendMode,
                                   uint32_t replyWait, uint32_t totalTime) {
  int retries = RetryBudget;
  auto logBytes = [&] {
    Memo2_Lines_Add(kTag, "");
    if (debugLogAccepts(kTag))
      Memo2_Lines_Add(kTag, "< " + std::to_string(clock.tick()) + shortHexLine(data, length) + ">");
  };
  auto replyDone = [this] { return ReplyComplete != 0; };
  const bool singleRequest = length == 1 && data[0] == 0x5A;
  auto accepted = [&] {
    uint8_t b = ReplyBuffer[0];
    return singleRequest || b == 0x5A || b == 0x5B || b == 0x5C;
  };

  if (sendMode == 1) {
    host.messageBox("Feautre not supportSend_Package_OST3--Single", WindowCaption,
                    MsgBoxKind::Information, MsgBoxButtons::Ok);
    logBytes();
    ReplyComplete = 0;
    if (ReceiveMode == 1) ReceivedCount = 0;
    const uint32_t replyDeadline = clock.tick() + replyWait;
    if (Comm1_WriteCommData(data, length)) clock.waitUntil(replyDone, replyDeadline);
    return true;
  }

  bool result = false;
  if (sendMode == 0) {
    const uint32_t deadline = clock.tick() + totalTime;
    while (tickBefore(clock.tick(), deadline)) {
      BusyStep();
      logBytes();
      ReplyComplete = 0;
      if (ReceiveMode == 1) ReceivedCount = 0;
      const uint32_t replyDeadline = clock.tick() + replyWait;
      if (!Comm1_WriteCommData(data, length)) {
        // Nothing can answer a command that never left: retrying at once
        // would only spin until the deadline with the window frozen.
        break;
      }
      uint32_t lastBusy = clock.tick();
      while (!ReplyComplete && tickBefore(clock.tick(), replyDeadline)) {
        uint32_t sliceEnd = lastBusy + kBusyStepMs + 1;
        if (!tickBefore(sliceEnd, replyDeadline)) sliceEnd = replyDeadline;
        clock.waitUntil(replyDone, sliceEnd);
        if (!ReplyComplete && uint32_t(clock.tick() - lastBusy) > kBusyStepMs) {
          BusyStep();
          lastBusy = clock.tick();
        }
      }
      if (ReplyComplete && accepted()) {
        result = true;
        break;
      }
      if (!retryAfterUnaccepted(totalTime, retries)) break;
    }
  }
  if (!result) ReportFault(FaultCode::k0000);
  return result;
}

void TForm_MAIN::setFastLink(bool on) {
  FastLink = on;
  CheckBox_FastLink.checked = on;
  Comm1.setReadIntervalTimeout(on ? 0 : 10);
}

void TForm_MAIN::Comm1ReceiveData(const uint8_t* buffer, uint16_t length) {
  LinkBytesReceived += length;
  if (FastLink && ExpectedReplyForm != ReplyForm::ByGeneration) {
    // Pieces of one reply, or replies joined together: the parser follows
    // what the command sent expects, whatever the generation.
    if (ExpectedReplyForm == ReplyForm::Frame)
      OST1_2_ReceiveDataParser(buffer, length);
    else
      OST3_ReceiveDataParser(buffer, length);
    return;
  }
  if (ModuleGeneration <= 1)
    OST1_2_ReceiveDataParser(buffer, length);
  else if (ModuleGeneration <= 3)
    OST3_ReceiveDataParser(buffer, length);
  else
    general_ReceiveDataParser(buffer, length);
}

void TForm_MAIN::general_ReceiveDataParser(const uint8_t* buffer, uint16_t length) {
  OST3_ReceiveDataParser(buffer, length);
}

void TForm_MAIN::OST1_2_ReceiveDataParser(const uint8_t* buffer, uint16_t length) {
  if (ReceiveMode == 0) {
    appendBlockBytes(ReadBuffer, buffer, length);
    ReceivedCount = boundedCount(int64_t(ReceivedCount) - length);
    if (ReceivedCount == 0) ReplyComplete = 1;
    return;
  }
  // Reply mode: gather a frame across events. Bytes past the 128-byte buffer
  // are counted but not stored, so such a reply never completes.
  if (FastLink && ReplyComplete) return;  // a reply taken: what follows waits for the next
  if (ReceivedCount < 0) ReceivedCount = 0;
  size_t room =
      ReceivedCount < int32_t(ReplyBuffer.size()) ? ReplyBuffer.size() - size_t(ReceivedCount) : 0;
  std::copy_n(buffer, std::min<size_t>(room, length),
              ReplyBuffer.begin() + std::min<size_t>(ReceivedCount, 128));
  ReceivedCount = boundedCount(int64_t(ReceivedCount) + length);
  if (ReceivedCount < 1) return;
  const int32_t expected = int32_t(frameLength(ReplyBuffer[0]));
  // With the fast link the frame may come joined with what follows it: its
  // length says where it ends.
  const bool whole = FastLink ? ReceivedCount >= expected : ReceivedCount == expected;
  if (!whole || expected > int32_t(ReplyBuffer.size())) return;
  if (debugLogAccepts(kTag))
    Memo2_Lines_Add(kTag, "[ " + std::to_string(clock.tick()) +
                              hexLine(ReplyBuffer.data(), size_t(expected)) + "]");
  if (sum8(std::span(ReplyBuffer.data(), size_t(expected - 1))) ==
      ReplyBuffer[size_t(expected - 1)])
    ReplyComplete = 1;
}

void TForm_MAIN::OST3_ReceiveDataParser(const uint8_t* buffer, uint16_t length) {
  if (ReceiveMode == 0) {
    appendBlockBytes(ReadBuffer, buffer, length);
    ReceivedCount = boundedCount(int64_t(ReceivedCount) - length);
    if (debugLogAccepts(kTag))
      Memo2_Lines_Add(kTag, "[ Batch_Read--" + std::to_string(clock.tick()) +
                                shortHexLine(buffer, length) +
                                "]--Read_LEN =" + std::to_string(length));
    if (ReceivedCount == 0) ReplyComplete = 1;
    return;
  }
  // A raw reply is whatever one received-data event carries. With the fast
  // link bytes arrive as they come: a reply is every byte since the last one
  // was taken (the waiter clears ReplyComplete when it takes one), so a reply
  // in pieces is whole and replies that come together are taken together.
  const bool append = FastLink && ReplyComplete;
  const size_t at =
      append ? size_t(std::clamp<int32_t>(ReceivedCount, 0, int32_t(ReplyBuffer.size()))) : 0;
  std::copy_n(buffer, std::min<size_t>(ReplyBuffer.size() - at, length), ReplyBuffer.begin() + at);
  ReceivedCount = append ? boundedCount(int64_t(ReceivedCount) + length) : length;
  if (debugLogAccepts(kTag))
    Memo2_Lines_Add(kTag, "[Default-- " + shortHexLine(buffer, length) +
                              "]--Read_LEN =" + std::to_string(length));
  ReplyComplete = 1;
}

bool TForm_MAIN::WriteBack_Sector(uint16_t sector, MemoryStream& source) {
  if (ModuleGeneration != 2 && ModuleGeneration != 3) return false;
  RequestBuffer[0] = sector == 1 ? 0xA7 : 0xA0;
  RequestBuffer[1] = uint8_t(sector >> 8);
  RequestBuffer[2] = uint8_t(sector);
  RequestBuffer[3] = RequestBuffer[4] = RequestBuffer[5] = 0;
  RequestBuffer[6] = 0x10;
  // A short source is refused before anything is sent: a module left waiting
  // for the rest of the sector would take the next command for data.
  if (source.Size() - source.Position() < kSectorBytes) return false;
  if (!Send_Package_OST3(RequestBuffer.data(), 7, 0, 1000, 2000)) return false;
  uint8_t chunk[kChunkSize];
  for (size_t sent = 0; sent < kSectorBytes; sent += kChunkSize) {
    ReplyComplete = 0;
    ReceivedCount = 0;
    source.Read(chunk, kChunkSize);
    if (!Send_Package_OST3(chunk, kChunkSize, 0, 1000, 2000)) return false;
  }
  return true;
}

}  // namespace ostrel
