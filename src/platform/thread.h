#pragma once

#include <atomic>
#include <memory>
#include <string>

namespace kavtel::platform {

enum class ThreadPriority { Idle, Lowest, Lower, Normal, Higher, Highest, TimeCritical };

// A worker thread with an overridable body.
//
// The operating-system thread is created by the first Resume(): a derived
// class that is to run from its creation calls Resume() as the last step of
// its own constructor (C++ cannot run a derived body before the derived
// object exists). Until then the thread counts as created suspended.
//
// The body runs inside a guard: an exception that escapes Execute ends the
// thread, and its text is kept in FatalException(). A derived class must end
// its worker (Terminate plus whatever wakes it, then WaitFor) in its own
// destructor; the base destructor only terminates and waits as a last resort.
class Thread {
 public:
  Thread();
  virtual ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts the worker if it has not been started; otherwise nothing.
  void Resume();
  // Sets the terminated flag; the body decides when to look at it.
  void Terminate() { terminated_.store(true); }
  bool Terminated() const { return terminated_.load(); }
  // Blocks until the body has returned. Returns at once when the worker was
  // never started, has already been waited for, or when called from the
  // worker itself (a thread never waits for itself).
  void WaitFor();
  bool Started() const { return started_.load(); }
  bool Finished() const { return finished_.load(); }
  bool IsCurrentThread() const;

  // Takes effect at once on a running worker, or when it starts.
  void SetPriority(ThreadPriority priority);
  ThreadPriority Priority() const { return priority_.load(); }

  // Text of the exception that ended the body, empty if none did.
  std::string FatalException() const;

 protected:
  virtual void Execute() = 0;

 private:
  struct Impl;
  friend struct ThreadEntry;  // the backend's start routine
  static void Run(Thread* self);
  void ApplyPriority();

  std::unique_ptr<Impl> impl_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> started_{false};
  std::atomic<bool> finished_{false};
  std::atomic<ThreadPriority> priority_{ThreadPriority::Normal};
};

}  // namespace kavtel::platform
