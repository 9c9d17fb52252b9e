#include "platform/runtime/stream.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/runtime/task.h"

namespace runtime {
namespace {

TEST(StreamTest, ValuesFromAnotherThreadArriveInOrderThenTheEnd) {
  RunLoop loop;
  auto [stream, cont] = makeStream<int>();
  std::vector<int> got;
  bool ended = false;
  auto consume = [&]() -> Task<> {
    while (std::optional<int> v = co_await stream.next()) got.push_back(*v);
    ended = true;
    loop.stop();
  };
  Task<> t;
  loop.post([&] { t = consume(); });
  std::thread producer([cont = cont] {
    for (int i = 0; i < 10000; ++i) cont.yield(i);
    cont.finish();
    cont.yield(-1);  // ignored after the end
    cont.finish();
  });
  loop.run();
  producer.join();
  ASSERT_EQ(got.size(), 10000u);
  for (int i = 0; i < 10000; ++i) ASSERT_EQ(got[i], i);
  EXPECT_TRUE(ended);
}

TEST(StreamTest, BlockingConsumerSeesValuesYieldedBeforeItStarted) {
  auto [stream, cont] = makeStream<std::string>();
  cont.yield("early");
  std::vector<std::string> got;
  std::thread consumer([stream = stream, &got] {
    while (auto v = stream.wait_next()) got.push_back(*v);
  });
  cont.yield("late");
  cont.finish();
  consumer.join();
  EXPECT_EQ(got, (std::vector<std::string>{"early", "late"}));
}

TEST(StreamTest, ErrorComesAfterTheQueuedValues) {
  auto [stream, cont] = makeStream<int>();
  cont.yield(1);
  cont.finish(std::make_exception_ptr(std::runtime_error("broke")));
  EXPECT_EQ(stream.wait_next(), 1);
  EXPECT_THROW(stream.wait_next(), std::runtime_error);
}

}  // namespace
}  // namespace runtime
