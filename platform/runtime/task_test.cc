#include "platform/runtime/task.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "platform/runtime/stream.h"

namespace runtime {
namespace {

Task<int> answer() { co_return 42; }

Task<> failing() {
  throw std::runtime_error("broken");
  co_return;
}

// Waits on a stream so the task suspends until a value is yielded.
Task<std::string> waitFor(Stream<std::string> s, std::string* trace) {
  *trace += "waiting;";
  std::optional<std::string> v = co_await s.next();
  *trace += "resumed;";
  co_return v.value_or("end");
}

TEST(TaskTest, StartsAtOnceAndRunsToItsFirstWait) {
  RunLoop loop;
  auto [stream, cont] = makeStream<std::string>();
  std::string trace;
  Task<std::string> t;
  loop.post([&] { t = waitFor(stream, &trace); });
  loop.runReady();
  EXPECT_EQ(trace, "waiting;");
  EXPECT_FALSE(t.done());
  cont.yield("x");
  loop.runReady();
  EXPECT_EQ(trace, "waiting;resumed;");
  EXPECT_TRUE(t.done());
}

TEST(TaskTest, AwaitingGivesTheValueOrRethrowsTheError) {
  RunLoop loop;
  std::string outcome;
  auto awaiter = [&]() -> Task<> {
    outcome += std::to_string(co_await answer());
    try {
      co_await failing();
    } catch (const std::runtime_error& e) {
      outcome += std::string(";") + e.what();
    }
  };
  Task<> t;
  loop.post([&] { t = awaiter(); });
  loop.runReady();
  EXPECT_TRUE(t.done());
  EXPECT_EQ(t.error(), nullptr);
  EXPECT_EQ(outcome, "42;broken");
}

TEST(TaskTest, ErrorIsKeptUntilAwaitedLater) {
  RunLoop loop;
  auto [stream, cont] = makeStream<std::string>();
  std::string trace, seen;
  Task<std::string> inner;
  Task<> outer;
  // Named: a coroutine lambda's captures live in the closure, which must outlive the coroutine.
  auto awaitInner = [&]() -> Task<> {
    try {
      seen = co_await inner;
    } catch (const std::runtime_error& e) {
      seen = std::string("error: ") + e.what();
    }
  };
  loop.post([&] {
    inner = waitFor(stream, &trace);
    outer = awaitInner();
  });
  loop.runReady();
  cont.finish(std::make_exception_ptr(std::runtime_error("results broke")));
  loop.runReady();
  EXPECT_TRUE(outer.done());
  EXPECT_EQ(seen, "error: results broke");
}

}  // namespace
}  // namespace runtime
