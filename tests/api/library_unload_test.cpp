// Loading and unloading libkavtel.so as a host that opens it with dlopen
// does: the table is there once loaded; unloading with a port still open
// neither crashes nor hangs: the open port keeps the library in memory and
// its treadmill served until the host closes it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "kavtel/kavtel.h"
#include "sim_port.h"
#include "support/wait_until.h"

namespace kavtel::test {
namespace {

// Function types come from kavtel.h, so a changed signature fails to compile.
using IndexFn = decltype(&kavtelopenPort);

class Library {
 public:
  Library() : handle_(dlopen(KAVTEL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL)) {}
  ~Library() { Unload(); }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  bool Loaded() const { return handle_ != nullptr; }
  template <typename Fn = IndexFn>
  Fn Function(const char* name) const {
    return reinterpret_cast<Fn>(dlsym(handle_, name));
  }
  void Unload() {
    if (handle_ != nullptr) dlclose(handle_);
    handle_ = nullptr;
  }

  // Whether the process still has the library mapped.
  static bool InMemory() {
    void* probe = dlopen(KAVTEL_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD);
    if (probe == nullptr) return false;
    dlclose(probe);
    return true;
  }

 private:
  void* handle_;
};

TEST(LibraryUnload, ClosedPortsLetTheLibraryGo) {
  {
    Library library;
    ASSERT_TRUE(library.Loaded()) << dlerror();
    IndexFn open = library.Function("kavtelopenPort");
    IndexFn close = library.Function("kavtelclosePort");
    IndexFn isvalid = library.Function("isvalidKavtelDevice");
    ASSERT_TRUE(open && close && isvalid);
    EXPECT_EQ(isvalid(1), KAVTEL_BAD_INDEX);  // the table is built at load

    SimPort port(1);
    ASSERT_EQ(open(1), KAVTEL_OK);
    ASSERT_TRUE(WaitUntil([&] { return isvalid(1) == KAVTEL_OK; }));
    EXPECT_EQ(close(1), KAVTEL_OK);
  }
  EXPECT_FALSE(Library::InMemory());
}

TEST(LibraryUnload, AnOpenPortKeepsTheLibraryUntilItIsClosed) {
  SimPort port(2);
  sim::Simulator& sim = port.sim();
  {
    Library library;
    ASSERT_TRUE(library.Loaded()) << dlerror();
    IndexFn open = library.Function("kavtelopenPort");
    IndexFn isvalid = library.Function("isvalidKavtelDevice");
    ASSERT_EQ(open(2), KAVTEL_OK);
    ASSERT_TRUE(WaitUntil([&] { return isvalid(2) == KAVTEL_OK; }));
  }
  // The host let go with the port open: the library stays, and so does the
  // conversation with the treadmill.
  EXPECT_TRUE(Library::InMemory());
  const auto framesAtUnload = sim.GetCounters().frames_received;
  EXPECT_TRUE(sim.WaitFor([&] { return sim.GetCounters().frames_received > framesAtUnload + 3; }));

  // Loading it again finds the same table with the port still open.
  {
    Library library;
    ASSERT_TRUE(library.Loaded()) << dlerror();
    IndexFn close = library.Function("kavtelclosePort");
    IndexFn isvalid = library.Function("isvalidKavtelDevice");
    EXPECT_EQ(isvalid(2), KAVTEL_OK);
    EXPECT_EQ(close(2), KAVTEL_OK);
  }
  EXPECT_FALSE(Library::InMemory());
  EXPECT_EQ(sim.GetCounters().Violations(), 0u);
}

// A host that loads the library, talks to a treadmill with the log on,
// closes the port and unloads, three times over: each unload lets the
// library go (none of its threads or hooks outlives it) and each load starts
// from a fresh table, whose port was never opened.
TEST(LibraryUnload, LoggedSessionsLoadAgainAfresh) {
  SimPort port(3);
  sim::Simulator& sim = port.sim();
  for (int round = 1; round <= 3; ++round) {
    SCOPED_TRACE(round);
    Library library;
    ASSERT_TRUE(library.Loaded()) << dlerror();
    IndexFn open = library.Function("kavtelopenPort");
    IndexFn close = library.Function("kavtelclosePort");
    IndexFn isvalid = library.Function("isvalidKavtelDevice");
    auto setProtocol = library.Function<decltype(&kavtelsetProtocol)>("kavtelsetProtocol");
    ASSERT_TRUE(open && close && isvalid && setProtocol);
    EXPECT_EQ(isvalid(3), KAVTEL_BAD_INDEX);

    ASSERT_EQ(open(3), KAVTEL_OK);
    ASSERT_TRUE(WaitUntil([&] { return isvalid(3) == KAVTEL_OK; }));
    ASSERT_EQ(setProtocol(3, 1), KAVTEL_OK);
    const auto framesLogged = sim.GetCounters().frames_received;
    EXPECT_TRUE(sim.WaitFor([&] { return sim.GetCounters().frames_received > framesLogged + 3; }));
    EXPECT_EQ(close(3), KAVTEL_OK);
    library.Unload();
    EXPECT_FALSE(Library::InMemory());
  }
  EXPECT_EQ(sim.GetCounters().Violations(), 0u);
}

}  // namespace
}  // namespace kavtel::test
