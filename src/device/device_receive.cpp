// The receive side of the device: frame assembly and check, acknowledgement,
// repeats, time-outs and the fault reset.
#include "device/kavtel_device.h"
#include "device/number_text.h"
#include "device/wire_frame.h"

namespace kavtel {

namespace {
// More than this many characters without a frame end is a fault.
constexpr std::size_t kLongestFrame = 102;
}  // namespace

void TKavtelDevice::DispatchChars(TObject*, const char* buffer, std::int32_t count) {
  TAPPSYSMutexHold hold(lock());
  std::int32_t pos = 0;
  while (Online_.load() && pos < count) {
    const char c = buffer[pos];
    if (c == kNAK) {
      disarmWatchdog();
      ++pos;
      RNXErrRepeatCounter_.fetch_add(1);
      if (PendingCommand_ != nullptr) repeatPending(false);
      RxText_.clear();
      RxLength_ = 0;
      RxSawSoh_ = false;
      if (pos == count) postCommands();
    } else if (c == kETB) {
      disarmWatchdog();
      RxText_ += c;
      ++RxLength_;
      ++pos;
      TKavtelDecoder decoder;
      switch (checkFrame(decoder)) {
        case Verdict::ok:
          PendingCommand_ = nullptr;
          log(RxText_, apmRD);
          log(std::string("<A>") + kACK, apmTD);
          sendRaw(std::string(1, kACK));
          logUserLine("");
          decoder(AnswerPayload_);
          break;
        case Verdict::repeat:
          log(RxText_, apmRD);
          if (PendingCommand_ != nullptr) repeatPending(false);
          break;
        case Verdict::error:
          RNXErrCommandCounter_.fetch_add(1);
          PendingCommand_ = nullptr;
          DoOnError(this);
          break;
      }
      RxText_.clear();
      RxLength_ = 0;
      RxSawSoh_ = false;
      if (pos == count) postCommands();
    } else {
      // Memory stays bounded whatever the device sends without a frame end;
      // the length still counts every byte.
      if (RxText_.size() < kMaxRxText) RxText_ += c;
      if (c == kSOH) RxSawSoh_ = true;
      ++RxLength_;
      ++pos;
    }
  }
  if (RxLength_ > kLongestFrame) DoOnError(this);
}

TKavtelDevice::Verdict TKavtelDevice::checkFrame(TKavtelDecoder& decoder) {
  AnswerPayload_.clear();
  // A frame end after more text than was kept: the frame is damaged.
  if (RxLength_ > RxText_.size()) return RxSawSoh_ ? Verdict::repeat : Verdict::error;
  const std::size_t soh = RxText_.find(kSOH);
  if (soh == std::string::npos) return Verdict::error;
  RxText_.erase(0, soh + 1);
  if (RxText_.empty() || RxText_.back() != kETB) return Verdict::error;
  const std::size_t length = RxText_.size();
  // Code, two checksum digits and the frame end at the least.
  if (length < 6) return Verdict::repeat;
  const std::string code = RxText_.substr(0, 3);
  AnswerPayload_ = RxText_.substr(3, length - 6);
  const auto sent = ParseInteger(RxText_.substr(length - 3, 2));
  if (!sent || *sent != FrameChecksum(code + AnswerPayload_)) return Verdict::repeat;
  if (const TKavtelAnswer* answer = FindAnswer(code)) decoder = answer->decoder;
  return Verdict::ok;
}

// Sends the pending frame again, or gives up when its repeats are spent.
void TKavtelDevice::repeatPending(bool afterTimeout) {
  if (RepeatCount_ < MaxRepeats_) {
    ++RepeatCount_;
    const std::string& frame = PendingCommand_->GetOutString();
    if (afterTimeout) {
      log("<Timeouthandler> [" + std::to_string(PendingCommand_->GetContinuousNr()) + "] |" +
              frame + "| (" + std::to_string(CycleStep_) + ")",
          apmTD);
    } else {
      log("<repeat>| " + frame, apmComment);
    }
    sendRaw(frame);
    armWatchdog(PendingCommand_->GetContinuousNr());
  } else if (afterTimeout) {
    DoOnTimeOut(this);
  } else {
    PendingCommand_ = nullptr;
    DoOnError(this);
  }
}

void TKavtelDevice::TimeoutHandler(std::uint32_t id) {
  if (!Online_.load()) return;
  TAPPSYSMutexHold hold(lock());
  // A late time-out for a frame that has been answered meanwhile.
  if (PendingCommand_ == nullptr || PendingCommand_->GetContinuousNr() != id) return;
  if (Closing_.load() && PendingIsRequest_) {
    // While closing, an unanswered poll is not worth a repeat: the stop
    // commands behind it must reach the treadmill.
    log("<TimeOut>| given up at close| " + PendingCommand_->GetOutString(), apmComment);
    PendingCommand_ = nullptr;
    postCommands();
    return;
  }
  repeatPending(true);
}

void TKavtelDevice::DoOnError(TObject*) {
  if (!Online_.load()) return;
  TAPPSYSMutexHold hold(lock());
  disarmWatchdog();
  log("<Error>| " + (PendingCommand_ != nullptr ? PendingCommand_->GetOutString() : std::string()),
      apmComment);
  SetInTrouble();
}

void TKavtelDevice::DoOnTimeOut(TObject*) {
  TAPPSYSMutexHold hold(lock());
  log("<TimeOut>| " +
          (PendingCommand_ != nullptr ? PendingCommand_->GetOutString() : std::string()),
      apmComment);
  SetInTrouble();
}

void TKavtelDevice::SetInTrouble() {
  TAPPSYSMutexHold hold(lock());
  AwaitingIdentification_.store(true);
  PendingCommand_ = nullptr;
  resetCommandCounter();
  CommandQueue_->restartBuffer();
  InfoQueue_->restartBuffer();
  sendIdle_.Set();
  if (GetControllerState() != ioDetecting) updateControllerState(ioDetecting);
}

}  // namespace kavtel
