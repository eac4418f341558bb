// The running service under a sweep of bad connections: stalls, half headers,
// oversized announcements, random bytes and cut-off bodies, with well-formed
// clients among them. Each well-formed client gets its own right reply, the
// service never hangs or dies, and its memory stays flat.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "control_channel.h"
#include "control_connection.h"
#include "control_frame.h"
#include "control_probe.h"

namespace zv {
namespace {

long ResidentKiB(pid_t process) {
  std::ifstream status("/proc/" + std::to_string(process) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

// Sends `bytes` on a fresh connection and hangs up without reading; false when no connection was made.
bool SendAndHangUp(const std::string& path, const std::string& bytes) {
  const int fd = probe::Connect(path);
  if (fd < 0) return false;
  probe::SendAll(fd, bytes);
  close(fd);
  return true;
}

class FaultSweep : public ::testing::Test {
 protected:
  void SetUp() override {
    char made[] = "/tmp/zv-sweep-XXXXXX";
    ASSERT_NE(mkdtemp(made), nullptr);
    folder = made;
    path = folder + "/control.sock";
    setenv(kControlSocketVariable, path.c_str(), 1);
    service = fork();
    if (service == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test that dies takes its service along
      execl(ZV_SERVICE_EXECUTABLE, ZV_SERVICE_EXECUTABLE, nullptr);
      _exit(127);
    }
    for (int i = 0; i < 500 && !probe::Exchange(path, 1, 1); ++i) usleep(5000);
  }
  void TearDown() override {
    kill(service, SIGTERM);
    int status = 0;
    waitpid(service, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the service ended badly: " << status;
    std::filesystem::remove_all(folder);
  }
  // A well-formed QueryState whose reply must be exactly the idle reply for its own id.
  void ExpectServed(std::uint64_t id) {
    const auto reply = probe::Exchange(path, 1, id);
    ASSERT_TRUE(reply) << "request " << id << " got no reply";
    EXPECT_EQ(reply->header.requestId, id);
    EXPECT_EQ(reply->header.status, 0u);
    EXPECT_EQ(reply->body, kIdleBody);
  }
  std::string folder, path;
  pid_t service = -1;
};

TEST_F(FaultSweep, AStallingClientHoldsTheQueueOnlyForTheReadBound) {
  const int stalled = probe::Connect(path);
  ASSERT_GE(stalled, 0);
  probe::SendAll(stalled, probe::RequestBytes(1, 1, "").substr(0, 10));  // and then nothing
  const auto began = std::chrono::steady_clock::now();
  ExpectServed(2);
  EXPECT_LT(std::chrono::steady_clock::now() - began, kRequestReadBound + std::chrono::seconds(3));
  close(stalled);
}

TEST_F(FaultSweep, TenThousandBadConnectionsCostNothing) {
  std::mt19937 random(20261207);
  const std::string header = probe::RequestBytes(1, 7, "");
  const auto kinds = [&](int i) -> std::string {
    switch (i % 5) {
      case 0: return header.substr(0, 1 + random() % (header.size() - 1));  // half a header
      case 1: {
        const auto big = EncodeRequestHeader(2, 8, kMaxControlBody + 1);
        return std::string(big.begin(), big.end());
      }
      case 2: {
        std::string noise(1 + random() % 200, '\0');
        for (char& c : noise) c = static_cast<char>(random());
        return noise;
      }
      case 3: return probe::RequestBytes(2, 9, R"({"private_key":"abc"})").substr(0, kRequestHeaderSize + 5);  // cut-off body
      default: return "";  // connect and leave at once
    }
  };
  long early = 0;
  for (int i = 0; i < 10000; ++i) {
    ASSERT_TRUE(SendAndHangUp(path, kinds(i))) << "connection " << i << " was not accepted";
    if (i % 250 == 0) ExpectServed(1000 + static_cast<std::uint64_t>(i));
    if (i == 1000) early = ResidentKiB(service);
    ASSERT_EQ(waitpid(service, nullptr, WNOHANG), 0) << "the service died at connection " << i;
  }
  ExpectServed(99999);
  const long late = ResidentKiB(service);
  ASSERT_GT(early, 0);
  EXPECT_LT(late - early, 512) << "resident memory grew from " << early << " KiB to " << late << " KiB";
  RecordProperty("resident_kib_after_1000", std::to_string(early));
  RecordProperty("resident_kib_after_10000", std::to_string(late));
}

}  // namespace
}  // namespace zv
