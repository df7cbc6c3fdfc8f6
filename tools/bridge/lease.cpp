#include "lease.h"

namespace bridge {

Lease::Taken Lease::Take(const std::string& client, Clock::time_point now) {
  if (holder_ && *holder_ != client) return Taken::held;
  if (holder_ && now >= expires_) return Taken::held;  // its own lapsed lease: Lapse ends it first
  const Taken taken = holder_ ? Taken::renewed : Taken::granted;
  holder_ = client;
  expires_ = now + term_;
  return taken;
}

bool Lease::Holds(const std::string& client, Clock::time_point now) const {
  return holder_ && *holder_ == client && now < expires_;
}

bool Lease::Release(const std::string& client, Clock::time_point now) {
  if (!Holds(client, now)) return false;
  holder_.reset();
  return true;
}

std::optional<std::string> Lease::Lapse(Clock::time_point now) {
  if (!holder_ || now < expires_) return std::nullopt;
  std::optional<std::string> lapsed;
  lapsed.swap(holder_);
  return lapsed;
}

}  // namespace bridge
