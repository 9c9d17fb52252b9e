#include "platform/runtime/run_loop.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace runtime {
namespace {

class ManualClock : public TimeSource {
 public:
  TimePoint now() const override { return now_; }
  void advance(Duration d) { now_ += d; }

 private:
  TimePoint now_{};
};

using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(RunLoopTest, RunsPostedWorkInOrderOnTheServingThread) {
  RunLoop loop;
  std::vector<int> order;
  std::thread::id served;
  for (int i = 0; i < 5; ++i) loop.post([&, i] { order.push_back(i); });
  loop.post([&] {
    served = std::this_thread::get_id();
    EXPECT_EQ(RunLoop::current(), &loop);
    loop.stop();
  });
  loop.run();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(served, std::this_thread::get_id());
  EXPECT_EQ(RunLoop::current(), nullptr);
}

TEST(RunLoopTest, DelayedWorkAndTimersFollowTheClock) {
  ManualClock clock;
  RunLoop loop(&clock);
  std::vector<std::string> log;
  loop.postAfter(milliseconds(200), [&] { log.push_back("restart"); });
  loop.every(seconds(5), [&] { log.push_back("tick"); });
  loop.post([&] { log.push_back("now"); });
  // Equal deadlines keep the order they were posted in.
  loop.postAfter(milliseconds(200), [&] { log.push_back("then"); });

  EXPECT_EQ(loop.runReady(), 1u);
  clock.advance(milliseconds(199));
  EXPECT_EQ(loop.runReady(), 0u);
  clock.advance(milliseconds(1));
  loop.runReady();
  EXPECT_EQ(log, (std::vector<std::string>{"now", "restart", "then"}));

  clock.advance(milliseconds(4800));
  loop.runReady();
  clock.advance(seconds(5));
  loop.runReady();
  // A timer that falls far behind fires once, not once per missed tick.
  clock.advance(seconds(30));
  loop.runReady();
  EXPECT_EQ(log, (std::vector<std::string>{"now", "restart", "then", "tick", "tick", "tick"}));
}

TEST(RunLoopTest, PostsFromManyThreadsAllRunOneAtATime) {
  RunLoop loop;
  constexpr int kThreads = 4, kEach = 2000;
  int count = 0;  // touched only on the loop's thread: TSan checks that
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) loop.post([&] { ++count; });
    });
  }
  // Posted once every other post has returned, so the stop runs last; a lost piece of work shows
  // as a short count instead of a loop that never stops.
  std::thread closer([&] {
    for (auto& t : threads) t.join();
    loop.post([&] { loop.stop(); });
  });
  loop.run();
  closer.join();
  EXPECT_EQ(count, kThreads * kEach);
}

TEST(RunLoopTest, SleepsUntilDelayedWorkIsDueOnTheRealClock) {
  RunLoop loop;
  auto start = Clock::now();
  TimePoint ran;
  loop.postAfter(milliseconds(30), [&] {
    ran = Clock::now();
    loop.stop();
  });
  loop.run();
  EXPECT_GE(ran - start, milliseconds(30));
}

}  // namespace
}  // namespace runtime
