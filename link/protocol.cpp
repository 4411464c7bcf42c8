// The packet protocol: framed CommandPackets (Ostrel I/II), raw commands with
// acknowledged chunks (Ostrel III/IV), the receive parsers and the waits.
#include <algorithm>
#include <string>

#include "app/fault_codes.h"
#include "app/form_main.h"
#include "app/prompt_table.h"
#include "link/commands.h"
#include "link/frame.h"
#include "link/reply_form_scope.h"

namespace ostrel {

namespace {
constexpr const char* kTag = "OST3_Return_Value";
constexpr uint32_t kBusyStepMs = 200;
constexpr size_t kChunkSize = 4096;
constexpr size_t kSectorBytes = 65536;
// The presence check's answer wait, and the quiet after which a module drops
// a chunk it has only part of (it keeps it for 400 ms).
constexpr uint32_t kPresenceWaitMs = 300;
constexpr uint32_t kQuietBeforeCommandMs = 1000;
// Received-data log lines show at most this many bytes, then "...".
constexpr size_t kLoggedBytes = 64;
// A device that keeps sending must not overflow the counters or fill memory:
// the counters stop at these bounds (far beyond any reply or block), and the
// ReadBuffer keeps no more than a block and one piece beyond it, enough to
// tell that more came than was asked for.
constexpr int32_t kCountBound = 1 << 24;
constexpr size_t kReadBufferLimit = kSectorBytes + kChunkSize;
// What a reply the fast link could not delimit is judged from: the bytes
// since the transmission, as many as a reply and what surrounds it can take.
constexpr size_t kSinceSendKept = 512;
// Waiting for a quiet line never takes longer than this, even when the
// module keeps talking.
constexpr uint32_t kDrainLimitMs = 1000;
// What bytes the quiet gap would have joined to a reply came within it of
// the one before; the margin covers their way through the port's thread.
constexpr uint32_t kQuietMarginMs = 2;

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

std::optional<bool> fastLinkOption(std::string_view value) {
  if (value == "fast") return true;
  if (value == "quiet-gap") return false;
  return std::nullopt;
}

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

bool TForm_MAIN::waitForReply(uint32_t deadline) {
  clock.waitUntil(replyEnded(), deadline);
  return ReplyComplete != 0;
}

void TForm_MAIN::pauseUnlessClosed(uint32_t ms) {
  clock.waitUntil([this] { return !Comm1.isOpen(); }, clock.tick() + ms);
}

bool TForm_MAIN::backInCommandMode() {
  // The presence check: the first may go into the chunk the module waits for,
  // which it drops once the line has been quiet for a moment; the second then
  // reaches it as a command.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (attempt > 0) pauseUnlessClosed(kQuietBeforeCommandMs);
    RequestBuffer[0] = Cmd::framedLength(1);
    RequestBuffer[1] = Cmd::Presence;
    Send_Package(RequestBuffer.data(), 1, kPresenceWaitMs, kPresenceWaitMs);
    if (ReplyComplete && ReplyBuffer[1] == Cmd::replyTo(Cmd::Presence)) return true;
  }
  return false;
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
  const uint8_t expected = Cmd::replyTo(data[1]);
  auto logFrame = [&] {
    Memo2_Lines_Add(kTag, "");
    if (debugLogAccepts(kTag))
      Memo2_Lines_Add(
          kTag, "< " + std::to_string(clock.tick()) + hexLine(frame.data(), frame.size()) + ">");
  };
  auto wait = [&](uint32_t replyDeadline) { clock.waitUntil(replyEnded(), replyDeadline); };
  auto accepted = [&] { return ReplyBuffer[1] == expected; };

  bool result = false;
  if (sendMode == 0) {
    const uint32_t deadline = clock.tick() + totalTime;
    while (tickBefore(clock.tick(), deadline)) {
      BusyStep();
      logFrame();
      ReplyComplete = 0;
      ReceivedCount = 0;
      const uint32_t replyDeadline = clock.tick() + replyWait;
      startTransmission();
      // A frame that cannot leave (the port closed) has no answer to wait for.
      if (!Comm1_WriteCommData(frame.data(), uint32_t(frame.size()))) break;
      if (awaitReply(replyDeadline, wait, accepted, true) == ReplyOutcome::Accepted) {
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
    waitForReply(replyDeadline);
    result = true;
  }
  if (!result) ReportFault(FaultCode::k0000);
  return result;
}

void TForm_MAIN::SendEndOfConnection() {
  RequestBuffer[0] = Cmd::framedLength(1);
  RequestBuffer[1] = Cmd::EndOfConnection;
  // The module never answers it: no time is spent waiting for an answer, and
  // closing the port still lets the frame reach the line.
  Send_Package(RequestBuffer.data(), 1, 0, 0);
}

bool TForm_MAIN::Send_Package_OST3(const uint8_t* data, uint32_t length, int sendMode,
                                   uint32_t replyWait, uint32_t totalTime) {
  int retries = RetryBudget;
  auto logBytes = [&] {
    Memo2_Lines_Add(kTag, "");
    if (debugLogAccepts(kTag))
      Memo2_Lines_Add(kTag, "< " + std::to_string(clock.tick()) + shortHexLine(data, length) + ">");
  };
  const bool singleRequest = length == 1 && data[0] == Cmd::NextPiece;
  auto accepted = [&] {
    uint8_t b = ReplyBuffer[0];
    return singleRequest || b == 0x5A || b == 0x5B || b == 0x5C;
  };

  if (sendMode == 1) {
    host.messageBox(Msg::FeatureUnsupported, "Feautre not supportSend_Package_OST3--Single",
                    WindowCaption, MsgBoxKind::Information, MsgBoxButtons::Ok);
    logBytes();
    ReplyComplete = 0;
    if (ReceiveMode == 1) ReceivedCount = 0;
    const uint32_t replyDeadline = clock.tick() + replyWait;
    if (Comm1_WriteCommData(data, length)) waitForReply(replyDeadline);
    return true;
  }

  // The wait shows a busy step whenever 200 ms pass without a reply.
  auto wait = [&](uint32_t replyDeadline) {
    const auto ended = replyEnded();
    uint32_t lastBusy = clock.tick();
    while (!ended() && tickBefore(clock.tick(), replyDeadline)) {
      uint32_t sliceEnd = lastBusy + kBusyStepMs + 1;
      if (!tickBefore(sliceEnd, replyDeadline)) sliceEnd = replyDeadline;
      clock.waitUntil(ended, sliceEnd);
      if (!ended() && uint32_t(clock.tick() - lastBusy) > kBusyStepMs) {
        BusyStep();
        lastBusy = clock.tick();
      }
    }
  };

  bool result = false;
  if (sendMode == 0) {
    const uint32_t deadline = clock.tick() + totalTime;
    while (tickBefore(clock.tick(), deadline)) {
      BusyStep();
      logBytes();
      ReplyComplete = 0;
      if (ReceiveMode == 1) ReceivedCount = 0;
      const uint32_t replyDeadline = clock.tick() + replyWait;
      startTransmission();
      if (!Comm1_WriteCommData(data, length)) {
        // Nothing can answer a command that never left: retrying at once
        // would only spin until the deadline with the window frozen.
        break;
      }
      const ReplyOutcome outcome = awaitReply(replyDeadline, wait, accepted, false);
      if (outcome == ReplyOutcome::Accepted) {
        result = true;
        break;
      }
      // The block's pieces could not be told apart: the caller reads again,
      // now on the quiet gap; no fault, as nothing has failed yet.
      if (outcome == ReplyOutcome::Abandoned) return false;
      if (!retryAfterUnaccepted(totalTime, retries)) break;
    }
  }
  if (!result) ReportFault(FaultCode::k0000);
  return result;
}

std::function<bool()> TForm_MAIN::replyEnded() {
  // A closed port (its line hung up) ends every wait: nothing more comes.
  return [this] { return ReplyComplete != 0 || UndelimitedReply || !Comm1.isOpen(); };
}

void TForm_MAIN::startTransmission() {
  ReceivedSinceSend = 0;
  UndelimitedReply = false;
  SinceSend.clear();
}

TForm_MAIN::ReplyOutcome TForm_MAIN::awaitReply(uint32_t replyDeadline,
                                                const std::function<void(uint32_t)>& wait,
                                                const std::function<bool()>& accepted,
                                                bool framed) {
  wait(replyDeadline);
  if (ReplyComplete && accepted()) {
    if (FastLink && !FastLinkChecked && ReceiveMode == 1) checkRepliesEndWhereTaken(framed);
    return ReplyOutcome::Accepted;
  }
  // Silence is not a framing matter, and a frame whose checksum holds was
  // delimited rightly whatever its code (a busy module's answer).
  if (!FastLink || ReceivedSinceSend == 0) return ReplyOutcome::NotAccepted;
  if (framed && ReplyComplete && !UndelimitedReply) return ReplyOutcome::NotAccepted;
  const char* why = UndelimitedReply ? (framed ? "a frame with a wrong checksum"
                                               : "more bytes than the block asked for")
                    : ReplyComplete  ? "a reply of the wrong kind"
                                     : "an incomplete reply";
  fallBackToQuietGap(why);
  // Bytes already on their way were cut as they came: once the line is
  // quiet, everything since the transmission is judged together, and the
  // next transmission starts on a quiet line, where the gap delimits.
  drainLine(2 * kQuietGapMs);
  if (ReceiveMode == 0) return ReplyOutcome::Abandoned;
  if (takeReplyFrom(SinceSend, framed, accepted)) return ReplyOutcome::Accepted;
  ReplyComplete = 0;
  ReceivedCount = 0;
  startTransmission();
  wait(replyDeadline);
  return ReplyComplete && accepted() ? ReplyOutcome::Accepted : ReplyOutcome::NotAccepted;
}

void TForm_MAIN::checkRepliesEndWhereTaken(bool framed) {
  FastLinkChecked = true;
  // A frame is as long as its length byte says; a raw acknowledgement is one
  // byte. Anything more that comes before the line is quiet belongs to no
  // reply the fast link can take apart, so later replies could be cut wrong.
  const uint32_t replyLength = framed ? uint32_t(frameLength(ReplyBuffer[0])) : 1;
  drainLine(kQuietGapMs + kQuietMarginMs);
  if (ReceivedSinceSend > replyLength) fallBackToQuietGap("bytes after a reply");
}

void TForm_MAIN::drainLine(uint32_t quietMs) {
  const uint32_t limit = clock.tick() + kDrainLimitMs;
  uint32_t seen = ReceivedSinceSend;
  for (;;) {
    const uint32_t quietUntil = clock.tick() + quietMs;
    const bool more = clock.waitUntil([&] { return ReceivedSinceSend != seen; },
                                      tickBefore(quietUntil, limit) ? quietUntil : limit);
    if (!more || !tickBefore(clock.tick(), limit)) return;
    seen = ReceivedSinceSend;
  }
}

bool TForm_MAIN::takeReplyFrom(const std::vector<uint8_t>& bytes, bool framed,
                               const std::function<bool()>& accepted) {
  for (size_t at = 0; at < bytes.size(); ++at) {
    const size_t length = framed ? frameLength(bytes[at]) : bytes.size() - at;
    if (length > bytes.size() - at || length > ReplyBuffer.size()) continue;
    if (framed && !frameValid(std::span(bytes.data() + at, length))) continue;
    std::copy_n(bytes.begin() + ptrdiff_t(at), length, ReplyBuffer.begin());
    ReceivedCount = int32_t(length);
    ReplyComplete = 1;
    if (accepted()) return true;
  }
  ReplyComplete = 0;
  ReceivedCount = 0;
  return false;
}

void TForm_MAIN::setFastLink(bool on) {
  FastLinkChosen = on;
  CheckBox_FastLink.checked = on;
  startChosenFraming();
}

void TForm_MAIN::startChosenFraming() {
  FastLink = FastLinkChosen;
  FastLinkChecked = false;
  Comm1.setReadIntervalTimeout(FastLink ? 0 : kQuietGapMs);
}

void TForm_MAIN::fallBackToQuietGap(std::string_view why) {
  if (!FastLink) return;
  FastLink = false;
  Comm1.setReadIntervalTimeout(kQuietGapMs);
  Memo2_Lines_Add("", "Fast link: " + std::string(why) +
                          " came; quiet-gap framing for the rest of this connection");
}

void TForm_MAIN::Comm1ReceiveData(const uint8_t* buffer, uint16_t length) {
  LinkBytesReceived += length;
  ReceivedSinceSend =
      uint32_t(std::min<uint64_t>(uint64_t(ReceivedSinceSend) + length, kCountBound));
  if (ReceiveMode == 1 && SinceSend.size() < kSinceSendKept)
    SinceSend.insert(SinceSend.end(), buffer,
                     buffer + std::min<size_t>(length, kSinceSendKept - SinceSend.size()));
  if (FastLink && ExpectedReplyForm != ReplyForm::ByGeneration) {
    // Pieces of one reply, or replies joined together: the parser follows
    // what the command sent expects, whatever the generation.
    if (ExpectedReplyForm == ReplyForm::Frame)
      OST1_2_ReceiveDataParser(buffer, length);
    else
      OST3_ReceiveDataParser(buffer, length);
    return;
  }
  if (ModuleGeneration <= OstrelII)
    OST1_2_ReceiveDataParser(buffer, length);
  else if (ModuleGeneration <= OstrelIV)
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
    if (ReceivedCount < 0 && FastLink) UndelimitedReply = true;
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
  else if (FastLink)
    UndelimitedReply = true;
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
    if (ReceivedCount < 0 && FastLink) UndelimitedReply = true;
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
  if (ModuleGeneration != OstrelIII && ModuleGeneration != OstrelIV) return false;
  RequestBuffer[0] = sector == 1 ? Cmd::WriteSectorOne : Cmd::WriteSector;
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
    if (!Send_Package_OST3(chunk, kChunkSize, 0, 1000, 2000)) {
      backInCommandMode();
      return false;
    }
  }
  return true;
}

}  // namespace ostrel
