// The system habits every module shares: the pipes they make, the outcomes a
// socket read tells apart, and the ways a write that waits for room may stop.

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/socket.h>

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

TEST(Sys, ASocketReadTellsItsOutcomesApart) {
  using Kind = sys::IoResult::Kind;
  struct Step {
    const char* name;
    std::string_view sent;  // by the other end, before the read
    bool shut;              // the other end then ends its sending side
    int flags;
    Kind kind;
    size_t count;
  };
  // In order, on one connection: a peek must leave what it saw for the next read.
  const Step steps[] = {
      {"nothing yet", "", false, 0, Kind::would_block, 0},
      {"peeked", "abc", false, MSG_PEEK, Kind::moved, 3},
      {"read after the peek", "", false, 0, Kind::moved, 3},
      {"end of stream", "", true, 0, Kind::closed, 0},
  };
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  sys::Fd ours(ends[0]);
  sys::Fd theirs(ends[1]);
  ASSERT_TRUE(sys::set_nonblocking(ours.get(), true));
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    if (!step.sent.empty()) {
      ASSERT_EQ(sys::send_some(theirs.get(), step.sent).count, step.sent.size());
    }
    if (step.shut) {
      ASSERT_EQ(::shutdown(theirs.get(), SHUT_WR), 0);
    }
    char buffer[16];
    sys::IoResult got = sys::recv_some(ours.get(), buffer, step.flags);
    EXPECT_EQ(got.kind, step.kind);
    EXPECT_EQ(got.count, step.count);
    if (step.kind == Kind::would_block) {
      EXPECT_TRUE(got.error == EAGAIN || got.error == EWOULDBLOCK);
    }
  }
  char byte;
  sys::IoResult bad = sys::read_some(-1, {&byte, 1});
  EXPECT_EQ(bad.kind, Kind::error);
  EXPECT_EQ(bad.error, EBADF);
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
