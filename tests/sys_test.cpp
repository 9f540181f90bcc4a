// The system habits every module shares: the pipes they make, and the ways a
// write that waits for room may stop.

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <string>

#include "sys/fd.h"
#include "sys/rw.h"

namespace tessik {
namespace {

TEST(Sys, PipesCloseOnExecAndBlockAsAsked) {
  for (bool nonblocking : {false, true}) {
    SCOPED_TRACE(nonblocking ? "non-blocking" : "blocking");
    auto pipe = sys::make_pipe(nonblocking);
    ASSERT_TRUE(pipe);
    for (const sys::Fd* end : {&pipe->read, &pipe->write}) {
      EXPECT_EQ(::fcntl(end->get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
      EXPECT_EQ((::fcntl(end->get(), F_GETFL) & O_NONBLOCK) != 0, nonblocking);
    }
  }
}

TEST(Sys, AWriteThatWaitsForRoomStopsAtItsLimits) {
  using namespace std::chrono_literals;
  struct Case {
    const char* name;
    bool abort;      // the abort pipe holds a byte
    int error;
  };
  const Case cases[] = {{"deadline", false, ETIMEDOUT}, {"abort", true, ECANCELED}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto full = sys::make_pipe(true);
    auto abort = sys::make_pipe(true);
    ASSERT_TRUE(full && abort);
    if (c.abort) sys::poke(abort->write.get());
    // More than any pipe holds, and nobody reads it.
    const std::string bytes(4 << 20, 'x');
    auto start = sys::Clock::now();
    auto written = sys::write_all(full->write.get(), bytes, {start + 200ms, abort->read.get()});
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error(), c.error);
    EXPECT_LT(sys::Clock::now() - start, 5s);
  }
}

}  // namespace
}  // namespace tessik
