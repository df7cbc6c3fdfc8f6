#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kavtel/export.h"
#include "services/method.h"
#include "services/root_object.h"

namespace kavtel {

using TAPPSYSCommandEvent = TMethod<void(TObject* Sender)>;
using TAPPSYSRequestProc = TMethod<void(const std::string& str)>;

// Verdict on a received answer frame.
enum TAPPSYSCommandCheck : std::uint8_t {
  chOK = 0,       // accepted
  chRepeat = 1,   // damaged: send the command in flight again
  chError = 2,    // unusable: counts as a fault
  chnotmine = 3,  // belongs to another command (no check produces it)
};

// One queued command: the complete framed text to write, its running
// number and the callbacks of whoever queued it. Records are owned by the
// ring and reused; every setter only stores.
class KAVTEL_API TAPPSYSCommand : public TObject {
 public:
  TAPPSYSCommand() = default;

  virtual void SetOutString(const std::string& text) { OutString_ = text; }
  void SetContinuousNr(std::uint32_t n) { ContinuousNr_ = n; }
  void SetOnReceived(TAPPSYSCommandEvent e) { OnReceived_ = std::move(e); }
  void SetOnBeforeSending(TAPPSYSCommandEvent e) { OnBeforeSending_ = std::move(e); }
  void SetOnAfterSending(TAPPSYSCommandEvent e) { OnAfterSending_ = std::move(e); }
  void SetActive(bool v) { Active_ = v; }
  void SetWantAnswer(bool v) { WantAnswer_ = v; }
  void SetOnTranslate(TAPPSYSRequestProc p) { OnTranslate_ = std::move(p); }

  std::uint32_t GetContinuousNr() const { return ContinuousNr_; }
  const TAPPSYSCommandEvent& GetOnReceived() const { return OnReceived_; }
  const TAPPSYSCommandEvent& GetOnBeforeSending() const { return OnBeforeSending_; }
  const TAPPSYSCommandEvent& GetOnAfterSending() const { return OnAfterSending_; }
  bool GetActive() const { return Active_; }
  bool GetWantAnswer() const { return WantAnswer_; }
  const TAPPSYSRequestProc& GetOnTranslate() const { return OnTranslate_; }
  const std::string& GetOutString() const { return OutString_; }

 private:
  std::uint32_t ContinuousNr_ = 0;
  TAPPSYSCommandEvent OnReceived_;
  TAPPSYSCommandEvent OnBeforeSending_;
  TAPPSYSCommandEvent OnAfterSending_;
  bool Active_ = false;
  bool WantAnswer_ = false;
  TAPPSYSRequestProc OnTranslate_;
  std::string OutString_;
};

using TAPPSYSCommandContainer = std::vector<TAPPSYSCommand*>;

// A fixed ring of command records built once and reused in a circle; first
// in, first out; every added command is stamped with a running number from
// 1. Not thread-safe: its owner serialises every call with its own mutex.
//
// At most Count - 1 commands are pending at once, so the record that the
// last peekCommand lent out is never overwritten while its answer is
// awaited: an addCommand beyond that is refused and returns false.
class KAVTEL_API TAPPSYSCommandRingBuffer : public TObject {
 public:
  TAPPSYSCommandRingBuffer() = default;
  ~TAPPSYSCommandRingBuffer() override;
  TAPPSYSCommandRingBuffer(const TAPPSYSCommandRingBuffer&) = delete;
  TAPPSYSCommandRingBuffer& operator=(const TAPPSYSCommandRingBuffer&) = delete;

  virtual TAPPSYSCommand* createCommand();
  // Builds InitialCapacity records (freeing any earlier ones) and restarts.
  virtual void initializeBuffer();

  void SetInitialCapacity(std::int32_t n) { InitialCapacity_ = n; }
  std::int32_t GetInitialCapacity() const { return InitialCapacity_; }
  std::int32_t GetCount() const { return Count_; }

  // Queues one command; false (and nothing changed) when the ring has no
  // room, that is when canaddComand(1) is false.
  bool addCommand(const std::string& outString, TAPPSYSCommandEvent onReceived,
                  TAPPSYSCommandEvent onBeforeSending, TAPPSYSCommandEvent onAfterSending,
                  bool wantAnswer);
  // True when n more commands fit: CountPrepared + n < Count.
  bool canaddComand(std::int32_t n) const { return CountPrepared_ + n < Count_; }
  // Takes the oldest pending command out and lends it; null when none.
  TAPPSYSCommand* peekCommand();
  std::int32_t GetCountPrepared() const { return CountPrepared_; }
  // Drops every pending command and restarts the numbering at 1.
  void restartBuffer();
  // Frees every record.
  void flush();

  // The slot a record lives in, for tests and diagnostics.
  TAPPSYSCommand* GetItem(std::int32_t slot) const { return Items_.at(static_cast<std::size_t>(slot)); }

 private:
  std::int32_t InitialCapacity_ = 256;
  std::int32_t Count_ = 0;
  std::int32_t CountPrepared_ = 0;
  TAPPSYSCommandContainer Items_;
  std::int32_t writePos_ = 0;
  std::int32_t readPos_ = 0;
  std::uint32_t nextNr_ = 0;
};

}  // namespace kavtel
