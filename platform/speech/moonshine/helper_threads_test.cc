#include "platform/speech/moonshine/helper_threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace speech::moonshine {
namespace {

// Calls of changing width on the same helpers: each part runs once per call, on a thread of its
// own, and the call returns only after all of them.
TEST(HelperThreads, EachPartOncePerCallWhateverTheWidthBefore) {
  HelperThreads helpers;
  for (int parts : {3, 1, 2, 4, 2, 4}) {
    SCOPED_TRACE(parts);
    std::vector<std::atomic<int>> runs(static_cast<std::size_t>(parts));
    std::vector<std::thread::id> ids(static_cast<std::size_t>(parts));
    helpers.run(parts, [&](int part) {
      std::this_thread::sleep_for(std::chrono::milliseconds(part == 0 ? 0 : 2));
      ids[static_cast<std::size_t>(part)] = std::this_thread::get_id();
      ++runs[static_cast<std::size_t>(part)];
    });
    for (int part = 0; part < parts; ++part) EXPECT_EQ(runs[static_cast<std::size_t>(part)], 1);
    EXPECT_EQ(ids[0], std::this_thread::get_id());
    for (int part = 1; part < parts; ++part)
      for (int other = 0; other < part; ++other)
        EXPECT_NE(ids[static_cast<std::size_t>(part)], ids[static_cast<std::size_t>(other)]);
  }
}

// A part on the calling thread that throws still lets the helpers finish with the work they
// were handed before the error reaches the caller.
TEST(HelperThreads, AFailingCallerPartWaitsForTheHelpers) {
  HelperThreads helpers;
  std::atomic<int> finished{0};
  EXPECT_THROW(helpers.run(3,
                           [&](int part) {
                             if (part == 0) throw std::runtime_error("part 0");
                             std::this_thread::sleep_for(std::chrono::milliseconds(20));
                             ++finished;
                           }),
               std::runtime_error);
  EXPECT_EQ(finished, 2);
  std::atomic<int> again{0};
  helpers.run(3, [&](int) { ++again; });
  EXPECT_EQ(again, 3);
}

}  // namespace
}  // namespace speech::moonshine
