#include "platform/linux/asio_application.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace tellwyn {
namespace {

// Runs `body` as the delegate's launch callback of a fresh application and
// the loop after it. The loop never returns, so every test ends the process
// through exitProcess or a signal inside a death test, and reports what
// happened on stderr.
template <typename Body>
[[noreturn]] void runApplication(Body body) {
  struct Delegate : ApplicationDelegate {
    AsioApplication* app;
    Body* body;
    int launches = 0;
    void applicationDidFinishLaunching() override {
      ++launches;
      std::fprintf(stderr, "launch%d;", launches);
      (*body)(*app);
    }
  };
  AsioApplication app;
  Delegate delegate;
  delegate.app = &app;
  delegate.body = &body;
  app.setDelegate(&delegate);
  app.run();
  std::fprintf(stderr, "run returned");
  std::_Exit(99);
}

void note(const char* text) { std::fprintf(stderr, "%s;", text); }

class AsioApplicationTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(AsioApplicationTest, RunsLaunchThenActionsAndTimersInOrder) {
  EXPECT_EXIT(runApplication([](AsioApplication& app) {
                MainQueue& queue = app.mainQueue();
                queue.scheduleTimer(0.05, [&app] {
                  note("late");
                  app.exitProcess(3);
                });
                queue.scheduleTimer(0.01, [] { note("early"); });
                queue.post([&queue] {
                  note("a");
                  queue.post([] { note("c"); });
                });
                queue.post([] { note("b"); });
              }),
              ::testing::ExitedWithCode(3), "^launch1;a;b;c;early;late;$");
}

TEST_F(AsioApplicationTest, InvalidatedTimerNeverFiresAndDroppedTimerStillFires) {
  EXPECT_EXIT(runApplication([](AsioApplication& app) {
                MainQueue& queue = app.mainQueue();
                auto cancelled = queue.scheduleTimer(0.01, [] { note("cancelled fired"); });
                EXPECT_TRUE(cancelled->isValid());
                cancelled->invalidate();
                if (!cancelled->isValid()) note("invalid");
                // Nobody keeps this one; it fires anyway.
                queue.scheduleTimer(0.02, [] { note("dropped fired"); });
                auto never = queue.scheduleTimer(INFINITY, [] { note("infinite fired"); });
                queue.scheduleTimer(0.1, [&app, never] {
                  if (never->isValid()) note("infinite armed");
                  app.exitProcess(0);
                });
              }),
              ::testing::ExitedWithCode(0), "^launch1;invalid;dropped fired;infinite armed;$");
}

TEST_F(AsioApplicationTest, IntervalsTooLongForTheClockNeverFire) {
  // Silence delays of 1e13 and 1e308 ms, and the same values as seconds: a
  // conversion that overflowed made such a timer fire at once.
  EXPECT_EXIT(runApplication([](AsioApplication& app) {
                MainQueue& queue = app.mainQueue();
                std::vector<std::shared_ptr<Timer>> timers;
                for (const double seconds : {1e9, 1e10, 1e13, 1e305, 1e308, double(INFINITY)}) {
                  timers.push_back(queue.scheduleTimer(
                      seconds, [seconds] { std::fprintf(stderr, "%g fired;", seconds); }));
                }
                queue.scheduleTimer(0.2, [&app, timers] {
                  for (const auto& timer : timers) {
                    if (!timer->isValid()) note("idle");
                  }
                  note("all armed");
                  app.exitProcess(0);
                });
              }),
              ::testing::ExitedWithCode(0), "^launch1;all armed;$");
}

TEST_F(AsioApplicationTest, FiredTimerIsNoLongerValid) {
  EXPECT_EXIT(runApplication([](AsioApplication& app) {
                auto timer = std::make_shared<std::shared_ptr<Timer>>();
                *timer = app.mainQueue().scheduleTimer(0.0, [&app, timer] {
                  if (!(*timer)->isValid()) note("idle in callback");
                  app.mainQueue().post([&app, timer] {
                    (*timer)->invalidate();
                    note("invalidate after fire is harmless");
                    app.exitProcess(0);
                  });
                });
              }),
              ::testing::ExitedWithCode(0),
              "^launch1;idle in callback;invalidate after fire is harmless;$");
}

TEST_F(AsioApplicationTest, PostsFromOtherThreadsRunOnTheLoop) {
  EXPECT_EXIT(runApplication([](AsioApplication& app) {
                const auto loopThread = std::this_thread::get_id();
                std::thread([&app, loopThread] {
                  app.mainQueue().post([&app, loopThread] {
                    if (std::this_thread::get_id() == loopThread) note("on main thread");
                    app.exitProcess(0);
                  });
                }).detach();
              }),
              ::testing::ExitedWithCode(0), "^launch1;on main thread;$");
}

TEST_F(AsioApplicationTest, SigtermKeepsItsDefaultEffectUntilAHandlerIsInstalled) {
  EXPECT_EXIT(runApplication([](AsioApplication&) { ::kill(::getpid(), SIGTERM); }),
              ::testing::KilledBySignal(SIGTERM), "");
}

TEST_F(AsioApplicationTest, SigtermRunsTheHandlerOnTheMainThread) {
  EXPECT_EXIT(runApplication([](AsioApplication& app) {
                const auto loopThread = std::this_thread::get_id();
                app.installTerminationHandler([&app, loopThread] {
                  if (std::this_thread::get_id() == loopThread) note("handler on main thread");
                  app.exitProcess(0);
                });
                // Raised from another thread, as a parent's kill may land on any.
                std::thread([] { ::kill(::getpid(), SIGTERM); }).detach();
              }),
              ::testing::ExitedWithCode(0), "^launch1;handler on main thread;$");
}

TEST_F(AsioApplicationTest, SigtermReachesTheHandlerOnlyAndNeverInterruptsAnotherThread) {
  // A parent may pass SIGTERM on ignored; the handler still gets it. Threads
  // started after the application inherit it blocked, so no signal handler
  // ever runs on them (or on the main thread).
  EXPECT_EXIT(
      {
        std::signal(SIGTERM, SIG_IGN);
        runApplication([](AsioApplication& app) {
          app.installTerminationHandler([&app] {
            note("handler");
            app.exitProcess(0);
          });
          std::thread([] {
            sigset_t mask;
            ::pthread_sigmask(SIG_BLOCK, nullptr, &mask);
            if (sigismember(&mask, SIGTERM) == 1) note("blocked on a later thread");
            ::kill(::getpid(), SIGTERM);
          }).detach();
        });
      },
      ::testing::ExitedWithCode(0), "^launch1;blocked on a later thread;handler;$");
}

TEST_F(AsioApplicationTest, SecondSigtermWhileHandlingRunsTheHandlerAtMostOnceMore) {
  EXPECT_EXIT(runApplication([](AsioApplication& app) {
                app.installTerminationHandler([&app] {
                  note("handler");
                  app.exitProcess(0);
                });
                ::kill(::getpid(), SIGTERM);
                ::kill(::getpid(), SIGTERM);
              }),
              ::testing::ExitedWithCode(0), "^launch1;handler;$");
}

TEST_F(AsioApplicationTest, SigtermWhileAnActionBlocksTheMainThreadHandsOverFromTheWait) {
  EXPECT_EXIT(runApplication([](AsioApplication& app) {
                app.installTerminationHandler([&app] {
                  note("handler");
                  app.exitProcess(0);
                });
                std::thread([] {
                  std::this_thread::sleep_for(std::chrono::milliseconds(100));
                  ::kill(::getpid(), SIGTERM);
                }).detach();
                // The loop cannot run the handler before this action ends.
                ThreadSleeper(&app.terminationWatch()).sleepFor(60);
                note("sleep ended");
              }),
              ::testing::ExitedWithCode(0), "^launch1;handler;$");
}

TEST(ThreadSleeperTest, SleepsOnlyForPositiveFiniteDurationsAndGivesWayToTermination) {
  using Clock = std::chrono::steady_clock;
  ThreadSleeper plain;
  auto began = Clock::now();
  plain.sleepFor(-1);
  plain.sleepFor(NAN);
  plain.sleepFor(INFINITY);
  EXPECT_LT(Clock::now() - began, std::chrono::milliseconds(500));
  plain.sleepFor(0.05);
  EXPECT_GE(Clock::now() - began, std::chrono::milliseconds(50));

  TerminationWatch termination;
  int handedOver = 0;
  termination.setHandler([&] { ++handedOver; });
  ThreadSleeper watched(&termination);
  watched.sleepFor(0.02);
  EXPECT_EQ(handedOver, 0);
  termination.request();
  began = Clock::now();
  watched.sleepFor(60);
  EXPECT_LT(Clock::now() - began, std::chrono::seconds(10));
  EXPECT_EQ(handedOver, 1);
}

}  // namespace
}  // namespace tellwyn
