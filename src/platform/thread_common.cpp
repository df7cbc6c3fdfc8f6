#include <exception>
#include <mutex>

#include "platform/thread.h"
#include "thread_impl.h"

namespace kavtel::platform {

void Thread::Run(Thread* self) {
  self->ApplyPriority();
  try {
    self->Execute();
  } catch (const std::exception& e) {
    std::lock_guard<std::mutex> hold(self->impl_->fatalLock);
    self->impl_->fatal = e.what();
    if (self->impl_->fatal.empty()) self->impl_->fatal = "exception";
  } catch (...) {
    std::lock_guard<std::mutex> hold(self->impl_->fatalLock);
    self->impl_->fatal = "unknown exception";
  }
  self->finished_.store(true);
}

std::string Thread::FatalException() const {
  std::lock_guard<std::mutex> hold(impl_->fatalLock);
  return impl_->fatal;
}

void Thread::SetPriority(ThreadPriority priority) {
  priority_.store(priority);
  if (Started() && !Finished()) ApplyPriority();
}

}  // namespace kavtel::platform
