#include "platform/EventLoop.h"
#include "platform/Notifier.h"
#include "platform/Time.h"
#include "tests/support/CpuTime.h"

#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace xv4::platform {
namespace {

TEST(EventLoop, WaitUntilWakesWhenAnotherThreadSetsTheFlag) {
  std::atomic<bool> flag{false};
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    flag = true;
    WakeUiThread();
  });
  Deadline limit = Deadline::In(10000);
  WaitUntil([&] { return flag.load() || limit.Expired(); });
  setter.join();
  EXPECT_TRUE(flag.load());
  EXPECT_FALSE(limit.Expired());
}

TEST(EventLoop, IdleWaitSleepsInsteadOfSpinning) {
  const std::uint32_t start = GetTickCount();
  const double cpu = test::CpuMsDuring([] { DelayMs(400); });
  const std::uint32_t elapsed = GetTickCount() - start;
  EXPECT_GE(elapsed, 400u);
  EXPECT_LT(cpu, test::SpinLimitMs(400)) << "a 400 ms wait used " << cpu << " ms of CPU";
}

TEST(EventLoop, TimersRunInsideAWait) {
  int ticks = 0;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
  timer.start(10);
  Deadline limit = Deadline::In(10000);
  WaitUntil([&] { return ticks >= 3 || limit.Expired(); });
  EXPECT_GE(ticks, 3);
}

TEST(Notifier, DeliversInPostingOrderOnTheOwnersThreadWithOwnedData) {
  const std::thread::id owner = std::this_thread::get_id();
  std::vector<int> codes;
  QByteArray joined;
  bool wrongThread = false;
  NotifyTarget target([&](const Notification& n) {
    wrongThread |= std::this_thread::get_id() != owner;
    codes.push_back(n.code);
    joined += n.data;
  });
  constexpr int kCount = 2000;
  std::thread poster([&] {
    for (int i = 0; i < kCount; ++i) {
      QByteArray block(1, static_cast<char>('a' + i % 26));
      target.Post(i, 0, std::move(block));
    }
  });
  Deadline limit = Deadline::In(20000);
  WaitUntil([&] { return codes.size() == kCount || limit.Expired(); });
  poster.join();
  ASSERT_EQ(codes.size(), static_cast<size_t>(kCount));
  EXPECT_FALSE(wrongThread);
  for (int i = 0; i < kCount; ++i) {
    ASSERT_EQ(codes[i], i);
    ASSERT_EQ(joined[i], static_cast<char>('a' + i % 26));
  }
}

TEST(Notifier, ANestedWaitInAHandlerStillReceivesLaterNotifications) {
  std::vector<int> codes;
  NotifyTarget* self = nullptr;
  NotifyTarget target([&](const Notification& n) {
    codes.push_back(n.code);
    if (n.code == 1) {
      // A modal wait inside a handler: notification 2 must still arrive.
      Deadline limit = Deadline::In(10000);
      WaitUntil([&] { return codes.size() >= 2 || limit.Expired(); });
      self->Post(3);
    }
  });
  self = &target;
  target.Post(1);
  target.Post(2);
  Deadline limit = Deadline::In(10000);
  WaitUntil([&] { return codes.size() >= 3 || limit.Expired(); });
  EXPECT_EQ(codes, (std::vector<int>{1, 2, 3}));
}

TEST(Time, TickDifferencesSurviveWrapAround) {
  const std::uint32_t start = 0xFFFFFFF0u;
  const std::uint32_t now = 0x00000010u;
  EXPECT_EQ(now - start, 0x20u);
  Deadline d = Deadline::In(0);
  EXPECT_TRUE(d.Expired());
  EXPECT_EQ(d.RemainingMs(), 0);
  EXPECT_GT(Deadline::In(100000).RemainingMs(), 90000);
}

}  // namespace
}  // namespace xv4::platform
