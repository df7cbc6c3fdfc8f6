#include <windows.h>

#include "platform/event.h"

namespace kavtel::platform {

struct Event::Impl {
  HANDLE handle;
};

Event::Event(bool manualReset, bool initialState)
    : impl_(new Impl{CreateEventA(nullptr, manualReset ? TRUE : FALSE, initialState ? TRUE : FALSE,
                                  nullptr)}) {}

Event::~Event() {
  if (impl_->handle != nullptr) CloseHandle(impl_->handle);
}

void Event::Set() { SetEvent(impl_->handle); }
void Event::Reset() { ResetEvent(impl_->handle); }
void* Event::NativeHandle() const { return impl_->handle; }

std::uint32_t Event::Wait(std::uint32_t timeoutMs) {
  return WaitForSingleObject(impl_->handle, timeoutMs);
}

std::uint32_t Event::WaitForFirst(Event& first, Event& second, std::uint32_t timeoutMs) {
  HANDLE both[2] = {first.impl_->handle, second.impl_->handle};
  return WaitForMultipleObjects(2, both, FALSE, timeoutMs);
}

}  // namespace kavtel::platform
