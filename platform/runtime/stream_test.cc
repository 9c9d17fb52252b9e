#include "platform/runtime/stream.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/runtime/task.h"
#include "tests/support/thread_state.h"

namespace runtime {
namespace {

TEST(StreamTest, ValuesFromAnotherThreadArriveInOrderThenTheEnd) {
  RunLoop loop;
  auto [stream, cont] = makeStream<int>();
  std::vector<int> got;
  bool ended = false;
  std::atomic<int> taken{0};
  auto consume = [&]() -> Task<> {
    while (std::optional<int> v = co_await stream.next()) {
      got.push_back(*v);
      ++taken;
    }
    ended = true;
    loop.stop();
  };
  Task<> t;
  loop.post([&] { t = consume(); });
  // Bounds the wait: a stream whose end never reaches the consumer fails here instead of hanging.
  loop.postAfter(std::chrono::seconds(10), [&] { loop.stop(); });
  std::thread producer([cont = cont, &taken] {
    for (int i = 0; i < 10000; ++i) cont.yield(i);
    // Finish while the consumer waits for more, so the end must wake it.
    for (int i = 0; i < 1000 && taken < 10000; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
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

// The id a thread stores in `id` as it starts, once it has.
pid_t startedThread(const std::atomic<pid_t>& id) {
  while (id == 0) std::this_thread::yield();
  return id;
}

// Runs `work` on a thread of its own and says whether it returned within `limit`. On a timeout the
// thread is left behind, still blocked, so the test fails instead of hanging.
bool returnsWithin(std::function<void()> work, std::chrono::seconds limit) {
  struct Done {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
  };
  auto done = std::make_shared<Done>();
  std::thread([work = std::move(work), done] {
    work();
    std::lock_guard lock(done->mutex);
    done->done = true;
    done->cv.notify_all();
  }).detach();
  std::unique_lock lock(done->mutex);
  return done->cv.wait_for(lock, limit, [&] { return done->done; });
}

TEST(StreamTest, BoundedProducerWaitsForTheConsumerAndLosesNothing) {
  constexpr std::size_t kCapacity = 3;
  constexpr int kValues = 200;
  auto [stream, cont] = makeStream<int>({kCapacity, nullptr});
  std::atomic<int> yielded{0};
  std::thread producer([cont = cont, &yielded] {
    for (int i = 0; i < kValues; ++i) {
      cont.yield(i);
      ++yielded;
    }
    cont.finish(std::make_exception_ptr(std::runtime_error("broke")));
  });
  std::vector<int> got;
  int most_ahead = 0;
  for (int taken = 0; taken < kValues; ++taken) {
    if (taken % 20 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    // The producer has had time to run ahead: it may hold no more than the capacity.
    most_ahead = std::max(most_ahead, yielded.load() - taken);
    got.push_back(*stream.waitNext());
  }
  EXPECT_THROW(stream.waitNext(), std::runtime_error);  // the error still follows the values
  producer.join();
  EXPECT_LE(most_ahead, static_cast<int>(kCapacity));
  for (int i = 0; i < kValues; ++i) ASSERT_EQ(got[i], i);
}

TEST(StreamTest, HeavyValuePassesAndWeightsCountTowardTheCapacity) {
  auto [stream, cont] =
      makeStream<std::vector<int>>({10, [](const std::vector<int>& v) { return v.size(); }});
  // Heavier than the whole capacity, into an empty stream: it must not wait forever.
  EXPECT_TRUE(
      returnsWithin([cont = cont] { cont.yield(std::vector<int>(25)); }, std::chrono::seconds(10)));
  std::atomic<bool> second{false};
  std::atomic<pid_t> producer_id{0};
  std::thread producer([cont = cont, &second, &producer_id] {
    producer_id = testing_support::currentThreadId();
    cont.yield(std::vector<int>(1));
    second = true;
  });
  // 25 held, capacity 10: the next yield waits.
  EXPECT_TRUE(testing_support::waitUntilBlockedIn(startedThread(producer_id), SYS_futex));
  EXPECT_FALSE(second);
  EXPECT_EQ(stream.waitNext()->size(), 25u);
  producer.join();
  EXPECT_TRUE(second);
  EXPECT_EQ(stream.waitNext()->size(), 1u);
}

// A producer waiting for room is released when the consumer cancels, when the last copy of the
// consumer side goes, and when another copy of the producer side finishes the stream.
TEST(StreamTest, ProducerWaitingForRoomIsReleasedWhenTheStreamStops) {
  enum class Stop { kCancel, kDrop, kFinish };
  for (Stop stop : {Stop::kCancel, Stop::kDrop, Stop::kFinish}) {
    SCOPED_TRACE(static_cast<int>(stop));
    auto [stream, cont] = makeStream<int>({2, nullptr});
    cont.yield(1);
    cont.yield(2);
    auto producer_id = std::make_shared<std::atomic<pid_t>>(0);
    auto blocked = [cont = cont, producer_id] {
      *producer_id = testing_support::currentThreadId();
      cont.yield(3);                               // the stream is full: waits until it stops
      for (int i = 0; i < 10; ++i) cont.yield(i);  // then returns at once
      cont.finish();
    };
    bool waited = false;
    std::thread stopper([&stream, cont = cont, stop, producer_id, &waited] {
      waited = testing_support::waitUntilBlockedIn(startedThread(*producer_id), SYS_futex);
      if (stop == Stop::kDrop) {
        stream = Stream<int>();  // the last copy of the consumer side
      } else if (stop == Stop::kCancel) {
        stream.cancel();
      } else {
        cont.finish();
      }
    });
    EXPECT_TRUE(returnsWithin(blocked, std::chrono::seconds(10)));
    stopper.join();
    EXPECT_TRUE(waited);
    if (stop == Stop::kFinish) {
      // What was queued before the end is still read; what waited for room is not.
      EXPECT_EQ(stream.waitNext(), 1);
      EXPECT_EQ(stream.waitNext(), 2);
    }
    if (stop != Stop::kDrop) {
      EXPECT_EQ(stream.waitNext(), std::nullopt);
    }
  }
}

}  // namespace
}  // namespace runtime
