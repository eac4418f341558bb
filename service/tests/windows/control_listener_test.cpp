// The Windows listener under wine, on the real control pipe, driven on a
// thread of its own as the service drives it.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "control_channel.h"
#include "control_listener.h"
#include "network_watch_windows.h"

namespace zv {
namespace {

using namespace std::chrono_literals;

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
  for (const auto end = std::chrono::steady_clock::now() + limit; !done();) {
    if (std::chrono::steady_clock::now() > end) return false;
    Sleep(10);
  }
  return true;
}

// Each connection is answered with one byte, after `whileServing`.
class Listener {
 public:
  explicit Listener(NetworkWatch* watch = nullptr, std::function<void()> whileServing = [] {})
      : thread([this, watch, whileServing] {
          RunControlListener(
              stop,
              [this, whileServing](ControlConnection& connection, const RunOnOwner&) {
                whileServing();
                const std::uint8_t byte = 'x';
                connection.WriteAll(&byte, 1);
                ++served;
              },
              watch, [this](bool fresh) { ++(fresh ? news : quiet); return std::nullopt; });
          ended = true;
        }) {}
  ~Listener() {
    stop.Signal();
    thread.join();
  }
  StopEvent stop;
  std::atomic<int> served{0}, news{0}, quiet{0};
  std::atomic<bool> ended{false};

 private:
  std::thread thread;
};

// One exchange as a client: true when the byte came within the limit.
bool Exchange(std::chrono::milliseconds limit = 5s) {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  WaitUntil([&] {
    pipe = CreateFileW(kControlPipePath, kControlPipeClientAccess, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    return pipe != INVALID_HANDLE_VALUE;
  }, limit);
  if (pipe == INVALID_HANDLE_VALUE) return false;
  char byte = 0;
  DWORD read = 0;
  const bool answered = ReadFile(pipe, &byte, 1, &read, nullptr) && read == 1 && byte == 'x';
  CloseHandle(pipe);
  return answered;
}

HANDLE ClaimName() {
  return CreateNamedPipeW(kControlPipePath, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE, PIPE_TYPE_BYTE, 1,
                          512, 512, 0, nullptr);
}

// Wine sends no network notifications: the watch's event is set here the way
// its notification callbacks set it, and the listener's upkeep must hear it
// as news, once per setting; set while a client is served, the upkeep after
// the client hears it (clients one after another may leave the wait no turn).
TEST(WindowsListener, NewsSetAsTheCallbacksSetItReachesTheUpkeep_WineSendsNoNotifications) {
  const auto watch = OpenWatchWithoutNotifications();
  ASSERT_TRUE(watch);
  Listener listener(watch.get(), [&] { SetEvent(reinterpret_cast<HANDLE>(watch->WaitHandle())); });
  for (int setting = 1; setting <= 3; ++setting) {
    SetEvent(reinterpret_cast<HANDLE>(watch->WaitHandle()));
    EXPECT_TRUE(WaitUntil([&] { return listener.news == setting; })) << "setting " << setting;
    Sleep(200);
    EXPECT_EQ(listener.news, setting) << "news heard again without a new setting";
  }
  EXPECT_TRUE(Exchange());
  EXPECT_TRUE(WaitUntil([&] { return listener.news == 4; }));
  EXPECT_EQ(listener.quiet, 0) << "an upkeep without the news that came meanwhile";
}

// Another holder of the pipe's name neither ends the listener (it claims the
// name once the holder lets go) nor finds the name free between two clients.
TEST(WindowsListener, KeepsServingWhenItsNameIsTakenAndNeverLetsItGo) {
  HANDLE holder = ClaimName();
  ASSERT_NE(holder, INVALID_HANDLE_VALUE) << GetLastError();
  Listener listener;
  Sleep(700);  // the listener has found the name taken, more than once
  EXPECT_FALSE(listener.ended);
  CloseHandle(holder);
  EXPECT_TRUE(Exchange()) << "no client served after the holder let go";

  // Wine lets any instance join a name (it ignores FILE_FLAG_FIRST_PIPE_INSTANCE),
  // so the squatter looks for a moment with no instance at all and takes the
  // name then, with room for one instance only, as a hostile program would.
  std::atomic<bool> exchanging{true};
  std::atomic<int> taken{0};
  std::thread squatter([&] {
    while (exchanging) {
      if (WaitNamedPipeW(kControlPipePath, 1) || GetLastError() != ERROR_FILE_NOT_FOUND) continue;
      if (HANDLE claimed = ClaimName(); claimed != INVALID_HANDLE_VALUE) ++taken, Sleep(50), CloseHandle(claimed);
    }
  });
  int answered = 0;
  for (int client = 0; client < 20; ++client) answered += Exchange(2s);
  exchanging = false;
  squatter.join();
  EXPECT_EQ(taken, 0) << "the name was free between two clients";
  EXPECT_EQ(answered, 20);
  EXPECT_FALSE(listener.ended);
}

// A client that is answered but never reads, nor goes, holds the one listener
// up for the write bound at most: the next client is served.
TEST(WindowsListener, AClientThatNeverReadsHoldsUpNoOther) {
  Listener listener;
  HANDLE silent = INVALID_HANDLE_VALUE;
  ASSERT_TRUE(WaitUntil([&] {
    silent = CreateFileW(kControlPipePath, kControlPipeClientAccess, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    return silent != INVALID_HANDLE_VALUE;
  }));
  ASSERT_TRUE(WaitUntil([&] { return listener.served == 1; }));
  EXPECT_TRUE(Exchange(kReplyWriteBound + 2s)) << "the next client waited for the silent one";
  CloseHandle(silent);
}

}  // namespace
}  // namespace zv
