// Control channel on Linux: a Unix stream socket. Every connection is taken at
// once and read on a thread of its own, with its own bound; a caller (one
// process of one user) has a few read at a time and the rest wait their turn,
// so a caller that sends half requests costs only itself. The listener's thread
// runs every request's work, one at a time, and the tunnel's upkeep between them.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "caller_check_linux.h"
#include "control_channel.h"
#include "control_listener.h"
#include "control_socket_linux.h"

namespace zv {
namespace {

using Clock = std::chrono::steady_clock;

// A caller's connections read at once; its next ones wait, in the order they
// came, and past that many waiting they are closed unanswered.
constexpr int kReadsPerCaller = 4;
constexpr std::size_t kWaitingPerCaller = 64;

class SocketConnection final : public ControlConnection {
 public:
  SocketConnection(int fd, int stopFd, std::optional<PeerCredentials> peer)
      : fd_(fd), stopFd_(stopFd), readDeadline_(Clock::now() + kRequestReadBound), peer_(peer) {}
  ~SocketConnection() override { close(fd_); }

  bool CallerAllowed() override { return peer_ && LinuxCallerAllowed(peer_->user); }
  std::uint32_t CallerUser() override { return peer_ ? peer_->user : 0; }

  bool ReadExact(std::uint8_t* data, std::size_t length) override {
    return MoveAll(POLLIN, readDeadline_, stopFd_, length, [&](std::size_t done, std::size_t left) {
      return recv(fd_, data + done, left, MSG_DONTWAIT);
    });
  }

  bool WriteAll(const std::uint8_t* data, std::size_t length) override {
    return MoveAll(POLLOUT, Clock::now() + kReplyWriteBound, -1, length, [&](std::size_t done, std::size_t left) {
      return send(fd_, data + done, left, MSG_DONTWAIT | MSG_NOSIGNAL);
    });
  }

 private:
  // Repeats one non-blocking transfer until all bytes have moved; a zero-byte
  // transfer (peer closed) or any error other than a retry ends it as failed.
  template <typename Transfer>
  bool MoveAll(short events, Clock::time_point deadline, int stopFd, std::size_t length, Transfer transfer) {
    std::size_t done = 0;
    while (done < length) {
      if (!WaitFor(events, deadline, stopFd)) return false;
      const ssize_t moved = transfer(done, length - done);
      if (moved == 0) return false;
      if (moved < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        return false;
      }
      done += static_cast<std::size_t>(moved);
    }
    return true;
  }

  // Waits for the socket until `deadline`; a stop ends the wait unless `stopFd` is -1.
  bool WaitFor(short events, Clock::time_point deadline, int stopFd) {
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return false;
      pollfd entries[2] = {{stopFd, POLLIN, 0}, {fd_, events, 0}};
      const int ready = poll(entries, 2, static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0 || entries[0].revents != 0) return false;
      return (entries[1].revents & (events | POLLHUP | POLLERR)) != 0;
    }
  }

  int fd_;
  int stopFd_;
  Clock::time_point readDeadline_;
  std::optional<PeerCredentials> peer_;
};

// Work handed from the readers to the listener's thread, which runs it in turn.
class OwnerQueue {
 public:
  OwnerQueue() : wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~OwnerQueue() { close(wake); }
  int WaitHandle() const { return wake; }

  // On a reader's thread: returns once the listener has run `work`.
  void Run(const std::function<void()>& work) {
    Job job{&work};
    std::unique_lock lock(mutex);
    jobs.push_back(&job);
    Wake();
    done.wait(lock, [&] { return job.finished; });
  }
  // The listener looks again: work is waiting, or a reader is done and there is room for another.
  void Wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(wake, &one, sizeof one);
  }

  // On the listener's thread: runs what is waiting; true when anything was.
  bool RunWaiting() {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t read_ = read(wake, &count, sizeof count);
    std::unique_lock lock(mutex);
    bool any = false;
    while (!jobs.empty()) {
      Job* job = jobs.front();
      jobs.pop_front();
      lock.unlock();
      (*job->work)();
      lock.lock();
      job->finished = true;
      any = true;
    }
    done.notify_all();
    return any;
  }

 private:
  struct Job {
    const std::function<void()>* work;
    bool finished = false;
  };
  int wake;
  std::mutex mutex;
  std::condition_variable done;
  std::deque<Job*> jobs;
};

// The readers' threads, a few per caller; each marks itself finished and wakes
// the listener, which joins it and starts that caller's next waiting connection.
class Readers {
 public:
  using Body = std::function<void(int fd, const std::optional<PeerCredentials>& peer)>;
  Readers(OwnerQueue& listener, Body body) : listener(listener), body(std::move(body)) {}
  ~Readers() {
    JoinFinished(true);
    for (auto& [caller, turn] : callers) {
      for (const int fd : turn.waiting) close(fd);
    }
  }
  int Count() const { return running.load(); }

  void Admit(int fd) {
    const auto peer = PeerOf(fd);
    const Caller caller = peer ? Caller{peer->user, peer->process} : Caller{~uid_t{0}, 0};
    Turn& turn = callers[caller];
    if (turn.reading < kReadsPerCaller) return Start(caller, turn, fd, peer);
    if (turn.waiting.size() < kWaitingPerCaller) return turn.waiting.push_back(fd);
    close(fd);
  }

  // Joins the readers that are done (all of them at the end); their callers' next connections start.
  void JoinFinished(bool all = false) {
    for (auto entry = threads.begin(); entry != threads.end();) {
      if (!all && !entry->finished.load()) {
        ++entry;
        continue;
      }
      entry->thread.join();
      const Caller caller = entry->caller;
      entry = threads.erase(entry);
      Turn& turn = callers[caller];
      --turn.reading;
      if (!all && !turn.waiting.empty()) {
        const int next = turn.waiting.front();
        turn.waiting.pop_front();
        Start(caller, turn, next, PeerOf(next));
      } else if (turn.reading == 0 && turn.waiting.empty()) {
        callers.erase(caller);
      }
    }
  }

 private:
  using Caller = std::pair<uid_t, pid_t>;
  struct Turn {
    int reading = 0;
    std::deque<int> waiting;
  };
  struct Entry {
    std::thread thread;
    Caller caller;
    std::atomic<bool> finished{false};
  };

  void Start(const Caller& caller, Turn& turn, int fd, const std::optional<PeerCredentials>& peer) {
    ++turn.reading;
    ++running;
    try {
      threads.emplace_back();
      Entry& entry = threads.back();
      entry.caller = caller;
      entry.thread = std::thread([this, &entry, fd, peer] {
        body(fd, peer);
        entry.finished.store(true);
        --running;
        listener.Wake();
      });
    } catch (const std::system_error&) {
      threads.pop_back();
      --turn.reading;
      --running;
      close(fd);
      if (turn.reading == 0 && turn.waiting.empty()) callers.erase(caller);
    }
  }

  OwnerQueue& listener;
  Body body;
  std::list<Entry> threads;  // a list: an entry stays where its thread found it
  std::map<Caller, Turn> callers;
  std::atomic<int> running{0};
};

}  // namespace

void RunControlListener(const StopEvent& stopEvent, const ConnectionHandler& handle, NetworkWatch* watch,
                        const UpkeepHandler& upkeep) {
  const std::string path = ControlSocketPath();
  ClaimedSocket claimed = TakeClaimedControlSocket();
  const bool handedOver = static_cast<bool>(claimed);  // then main keeps the folder for the record
  std::string problem;
  if (!claimed) claimed = ClaimControlSocket(path, problem);
  if (!claimed) {
    std::fprintf(stderr, "accelerator-service: cannot listen: %s\n", problem.c_str());
    return;
  }
  const int stopFd = static_cast<int>(stopEvent.NativeHandle());
  const int watchFd = watch != nullptr ? static_cast<int>(watch->WaitHandle()) : -1;
  OwnerQueue owner;
  const RunOnOwner runOnOwner = [&owner](const std::function<void()>& work) { owner.Run(work); };
  UpkeepSchedule schedule(upkeep);
  {
    Readers readers(owner, [&](int fd, const std::optional<PeerCredentials>& peer) {
      SocketConnection connection(fd, stopFd, peer);
      handle(connection, runOnOwner);
    });
    const auto serveWaiting = [&] {
      if (owner.RunWaiting()) schedule.Run(false);  // a start or stop changes what the upkeep has to do
    };
    std::optional<Clock::time_point> acceptAgain;  // out of descriptors: a pause, not a busy loop
    while (!stopEvent.IsSignalled()) {
      if (acceptAgain && Clock::now() >= *acceptAgain) acceptAgain.reset();
      pollfd entries[4] = {{stopFd, POLLIN, 0}, {acceptAgain ? -1 : claimed.socket, POLLIN, 0}, {watchFd, POLLIN, 0},
                           {owner.WaitHandle(), POLLIN, 0}};
      const auto left = schedule.Left(acceptAgain);
      const int ready = poll(entries, 4, left ? static_cast<int>(left->count()) : -1);
      if (ready < 0 || entries[0].revents != 0) continue;
      if (entries[3].revents != 0) serveWaiting();
      const bool news = entries[2].revents != 0 && watch->Drain();
      if (news || schedule.Due()) schedule.Run(news);
      readers.JoinFinished();
      if (entries[1].revents == 0) continue;
      const int client = accept4(claimed.socket, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0) readers.Admit(client);
      else if (errno == EMFILE || errno == ENFILE) acceptAgain = Clock::now() + std::chrono::milliseconds(100);
    }
    // Readers still at work see the stop; any request they read in full is still run and answered.
    while (readers.Count() > 0) {
      pollfd entry{owner.WaitHandle(), POLLIN, 0};
      if (poll(&entry, 1, 10) > 0) serveWaiting();
    }
  }
  ReleaseControlSocket(claimed, path);
  if (!handedOver) close(claimed.folder);
}

}  // namespace zv
