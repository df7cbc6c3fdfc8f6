// A station's lease: the one client that may drive the belt from the
// broker. Taken and renewed by the client's heartbeat; it lapses when no
// heartbeat came for the lease's term. Pure: time comes in as an argument.
#ifndef KAVTEL_BRIDGE_LEASE_H
#define KAVTEL_BRIDGE_LEASE_H

#include <chrono>
#include <optional>
#include <string>

namespace bridge {

class Lease {
 public:
  using Clock = std::chrono::steady_clock;
  explicit Lease(Clock::duration term) : term_(term) {}

  enum class Taken { granted, renewed, held };
  // The client takes the lease when it is free, or renews its own; held:
  // another client holds it. A lease past its term is first to be ended
  // by Lapse (the bridge stops the belt then), so it still counts as held.
  Taken Take(const std::string& client, Clock::time_point now);
  // The client holds the lease and its term has not run out.
  bool Holds(const std::string& client, Clock::time_point now) const;
  // The holder gives the lease up; false when the client does not hold it.
  bool Release(const std::string& client, Clock::time_point now);
  // The holder whose term ran out by now, once; the lease is free after.
  std::optional<std::string> Lapse(Clock::time_point now);
  const std::optional<std::string>& Holder() const { return holder_; }
  Clock::duration Term() const { return term_; }

 private:
  Clock::duration term_;
  std::optional<std::string> holder_;
  Clock::time_point expires_{};
};

}  // namespace bridge

#endif
