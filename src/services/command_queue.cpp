#include "services/command_queue.h"

namespace kavtel {

TAPPSYSCommandRingBuffer::~TAPPSYSCommandRingBuffer() { flush(); }

TAPPSYSCommand* TAPPSYSCommandRingBuffer::createCommand() { return new TAPPSYSCommand(); }

void TAPPSYSCommandRingBuffer::initializeBuffer() {
  flush();
  const std::int32_t capacity = InitialCapacity_ > 0 ? InitialCapacity_ : 0;
  Items_.assign(static_cast<std::size_t>(capacity), nullptr);
  Count_ = 0;
  while (Count_ < capacity) {
    Items_[static_cast<std::size_t>(Count_)] = createCommand();
    ++Count_;
  }
  restartBuffer();
}

void TAPPSYSCommandRingBuffer::restartBuffer() {
  CountPrepared_ = 0;
  writePos_ = 0;
  readPos_ = -1;
  nextNr_ = 1;
}

bool TAPPSYSCommandRingBuffer::addCommand(const std::string& outString,
                                          TAPPSYSCommandEvent onReceived,
                                          TAPPSYSCommandEvent onBeforeSending,
                                          TAPPSYSCommandEvent onAfterSending, bool wantAnswer) {
  if (!canaddComand(1)) return false;
  const std::int32_t slot = writePos_;
  writePos_ = slot + 1 < Count_ ? slot + 1 : 0;
  TAPPSYSCommand* cmd = Items_[static_cast<std::size_t>(slot)];
  cmd->SetOutString(outString);
  cmd->SetOnReceived(std::move(onReceived));
  cmd->SetOnBeforeSending(std::move(onBeforeSending));
  cmd->SetOnAfterSending(std::move(onAfterSending));
  cmd->SetWantAnswer(wantAnswer);
  cmd->SetContinuousNr(nextNr_++);
  ++CountPrepared_;
  return true;
}

TAPPSYSCommand* TAPPSYSCommandRingBuffer::peekCommand() {
  if (CountPrepared_ <= 0) return nullptr;
  ++readPos_;
  if (readPos_ >= Count_) readPos_ = 0;
  --CountPrepared_;
  return Items_[static_cast<std::size_t>(readPos_)];
}

void TAPPSYSCommandRingBuffer::flush() {
  for (TAPPSYSCommand* cmd : Items_) delete cmd;
  Items_.clear();
  Count_ = 0;
  CountPrepared_ = 0;
  writePos_ = 0;
  readPos_ = -1;
}

}  // namespace kavtel
