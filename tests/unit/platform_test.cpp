#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "platform/event.h"
#include "platform/recursive_mutex.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "support/wait_until.h"

namespace kavtel::platform {
namespace {

TEST(Event, ManualResetStaysSignalledAutoResetIsConsumed) {
  Event manual(true, false);
  EXPECT_EQ(manual.Wait(0), kWaitTimeout);
  manual.Set();
  EXPECT_EQ(manual.Wait(0), kWaitObject0);
  EXPECT_EQ(manual.Wait(0), kWaitObject0);
  manual.Reset();
  EXPECT_EQ(manual.Wait(10), kWaitTimeout);

  Event autoReset(false, true);
  EXPECT_EQ(autoReset.Wait(0), kWaitObject0);
  EXPECT_EQ(autoReset.Wait(0), kWaitTimeout);
}

TEST(Event, WaitForFirstPrefersTheLowerIndexAndWakesOnEither) {
  Event stop(true, false);
  Event data(false, false);
  stop.Set();
  data.Set();
  EXPECT_EQ(Event::WaitForFirst(stop, data, 0), kWaitObject0);
  stop.Reset();
  EXPECT_EQ(Event::WaitForFirst(stop, data, 0), kWaitObject0 + 1);
  EXPECT_EQ(Event::WaitForFirst(stop, data, 10), kWaitTimeout);  // data was consumed

  std::thread setter([&] { data.Set(); });
  EXPECT_EQ(Event::WaitForFirst(stop, data, kInfinite), kWaitObject0 + 1);
  setter.join();
}

TEST(Event, InfiniteWaitWakesWhenAnotherThreadSets) {
  Event ev(false, false);
  std::atomic<bool> woke{false};
  std::thread waiter([&] {
    EXPECT_EQ(ev.Wait(kInfinite), kWaitObject0);
    woke = true;
  });
  ev.Set();
  EXPECT_TRUE(test::WaitUntil([&] { return woke.load(); }));
  waiter.join();
}

class Body : public Thread {
 public:
  explicit Body(bool fail) : fail_(fail) {}
  ~Body() override { WaitFor(); }
  std::atomic<int> runs{0};
  std::atomic<bool> sawPriority{false};

 protected:
  void Execute() override {
    ++runs;
    sawPriority = Priority() == ThreadPriority::Lower;
    if (fail_) throw std::runtime_error("port vanished");
  }

 private:
  bool fail_;
};

// The holder takes it again; another thread's try fails at once while it is
// held, and a try with time succeeds when the holder lets go meanwhile.
TEST(RecursiveMutex, TriesFailWhileHeldElsewhereAndATimedTrySeesTheRelease) {
  platform::RecursiveMutex mutex;
  mutex.Lock();
  EXPECT_TRUE(mutex.TryLock());
  mutex.Unlock();
  std::atomic<bool> triedAtOnce{true};
  std::atomic<bool> tryingWithTime{false};
  std::atomic<bool> gotItWithTime{false};
  std::thread other([&] {
    triedAtOnce = mutex.TryLock();
    tryingWithTime = true;
    gotItWithTime = mutex.TryLock(60000);
    if (gotItWithTime) mutex.Unlock();
  });
  ASSERT_TRUE(test::WaitUntil([&] { return tryingWithTime.load(); }));
  mutex.Unlock();
  other.join();
  EXPECT_FALSE(triedAtOnce.load());
  EXPECT_TRUE(gotItWithTime.load());
  EXPECT_TRUE(mutex.TryLock(1));  // free again
  mutex.Unlock();
}

TEST(Thread, CreatedSuspendedRunsOnceResumedAndKeepsItsFatalException) {
  Body ok(false);
  ok.SetPriority(ThreadPriority::Lower);
  EXPECT_FALSE(ok.Started());
  ok.WaitFor();  // never started: returns at once
  ok.Resume();
  ok.Resume();
  ok.WaitFor();
  EXPECT_EQ(ok.runs, 1);
  EXPECT_TRUE(ok.sawPriority);
  EXPECT_TRUE(ok.Finished());
  EXPECT_EQ(ok.FatalException(), "");

  Body bad(true);
  bad.Resume();
  bad.WaitFor();
  EXPECT_TRUE(bad.Finished());
  EXPECT_EQ(bad.FatalException(), "port vanished");
}

TEST(System, TickCountAdvancesWithSleep) {
  const std::uint32_t t0 = TickCount();
  SleepMs(30);
  EXPECT_GE(static_cast<std::uint32_t>(TickCount() - t0), 14u);
  const LocalDate d = Today();
  EXPECT_GE(d.year, 2000);
  EXPECT_TRUE(d.month >= 1 && d.month <= 12);
  EXPECT_TRUE(d.day >= 1 && d.day <= 31);
}

}  // namespace
}  // namespace kavtel::platform
