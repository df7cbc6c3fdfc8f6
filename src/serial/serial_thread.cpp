#include "serial/serial_thread.h"

#include <exception>
#include <string>

#include "platform/system.h"
#include "platform/wait.h"

namespace kavtel {

namespace {

// Each line event with its flag in the system's mask.
struct EventFlag {
  TComEvent event;
  std::uint32_t flag;
};
constexpr EventFlag kEventFlags[] = {
    {evRxChar, platform::kEvRxChar}, {evTxEmpty, platform::kEvTxEmpty},
    {evRxFlag, platform::kEvRxFlag}, {evRing, platform::kEvRing},
    {evBreak, platform::kEvBreak},   {evCTS, platform::kEvCts},
    {evDSR, platform::kEvDsr},       {evError, platform::kEvErr},
    {evRLSD, platform::kEvRlsd},     {evRx80Full, platform::kEvRx80Full}};

}  // namespace

std::uint32_t MaskFromComEvents(TComEvents events) {
  std::uint32_t mask = 0;
  for (const auto& ef : kEventFlags) {
    if ((events & ComSet(ef.event)) != 0) mask |= ef.flag;
  }
  return mask;
}

TComEvents ComEventsFromMask(std::uint32_t mask) {
  TComEvents events = 0;
  for (const auto& ef : kEventFlags) {
    if ((mask & ef.flag) != 0) events |= ComSet(ef.event);
  }
  return events;
}

TAPPSerialThread::TAPPSerialThread(TAPPSerialPort* port)
    : stop_(std::make_unique<platform::Event>(true, false)), port_(port) {
  (void)port_->device_->SetMask(MaskFromComEvents(port_->GetEvents()));
  Resume();
}

TAPPSerialThread::~TAPPSerialThread() {
  Stop();
  Terminate();
  WaitFor();
}

void TAPPSerialThread::Stop() {
  {
    std::lock_guard<std::mutex> hold(stopLock_);
    if (stop_) stop_->Set();
  }
  platform::SleepMs(0);
}

void TAPPSerialThread::Execute() {
  platform::CommDevice& device = *port_->device_;
  platform::Event* stop = nullptr;
  {
    std::lock_guard<std::mutex> hold(stopLock_);
    stop = stop_.get();
  }
  platform::Event completion(true, true);
  bool stopped = false;
  try {
    std::uint32_t result = platform::kWaitObject0 + 1;
    while (result == platform::kWaitObject0 + 1) {
      std::uint32_t mask = 0;
      result = device.WaitEvent(*stop, completion, mask);
      if (result == platform::kWaitObject0 + 1) {
        occurred_ = ComEventsFromMask(mask);
        DoEvents();
      }
    }
    stopped = result == platform::kWaitObject0;
  } catch (const std::exception& e) {
    // The thread ends here; data stops arriving. The log tells why.
    port_->GetProtocol()->addEventString(std::string("Event thread ended: ") + e.what(),
                                         apmComment);
  } catch (...) {
    port_->GetProtocol()->addEventString("Event thread ended: unknown exception", apmComment);
  }
  (void)device.SetMask(0);
  (void)device.Purge(platform::kPurgeTxClear | platform::kPurgeRxClear);
  {
    std::lock_guard<std::mutex> hold(stopLock_);
    stop_.reset();
  }
  // Not stopped by its owner: the wait, a read or a status query failed, so
  // the line is gone (a pulled cable, a removed adapter). The owner hears of
  // it at once instead of waiting for its answer time-outs.
  if (!stopped) {
    try {
      port_->CallLineLost();
    } catch (...) {
      // A listener's exception must not escape the thread.
    }
  }
}

void TAPPSerialThread::DoEvents() {
  TAPPSerialPort& p = *port_;
  if ((occurred_ & ComSet(evRxChar)) != 0) p.CallRxChar();
  if ((occurred_ & ComSet(evTxEmpty)) != 0) p.CallTxEmpty();
  if ((occurred_ & ComSet(evBreak)) != 0) p.CallBreak();
  if ((occurred_ & ComSet(evRing)) != 0) p.CallRing();
  if ((occurred_ & ComSet(evCTS)) != 0) p.CallCTSChange();
  if ((occurred_ & ComSet(evDSR)) != 0) p.CallDSRChange();
  if ((occurred_ & ComSet(evRxFlag)) != 0) p.CallRxFlag();
  if ((occurred_ & ComSet(evRLSD)) != 0) p.CallRLSDChange();
  if ((occurred_ & ComSet(evError)) != 0) p.CallError();
  if ((occurred_ & ComSet(evRx80Full)) != 0) p.CallRx80Full();
}

}  // namespace kavtel
