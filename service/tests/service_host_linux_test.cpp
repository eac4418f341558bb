// The Linux service program itself: serves on its socket, and each stop
// signal ends it cleanly with exit code 0 and its socket removed.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "control_channel.h"
#include "control_frame.h"
#include "control_probe.h"

namespace zv {
namespace {

TEST(LinuxServiceHost, StopSignalsEndTheServiceCleanly) {
  for (const int stopSignal : {SIGTERM, SIGINT}) {
    char directory[] = "/tmp/zv-host-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string path = std::string(directory) + "/control.sock";
    setenv(kControlSocketVariable, path.c_str(), 1);
    const pid_t service = fork();
    if (service == 0) {
      execl(ZV_SERVICE_EXECUTABLE, ZV_SERVICE_EXECUTABLE, nullptr);
      _exit(127);
    }
    std::optional<probe::Reply> reply;
    for (int i = 0; i < 500 && !(reply = probe::Exchange(path, 1, 5)); ++i) usleep(5000);
    ASSERT_TRUE(reply) << "the service never answered";
    EXPECT_EQ(reply->body, kIdleBody);
    const auto start = probe::Exchange(path, 2, 6, "{}");
    ASSERT_TRUE(start);
    EXPECT_EQ(start->body, ErrorBody("invalid_tunnel_config")) << "the tunnel engine judges the request";

    kill(service, stopSignal);
    int status = 0;
    ASSERT_EQ(waitpid(service, &status, 0), service);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "signal " << stopSignal << ": " << status;
    EXPECT_FALSE(std::filesystem::exists(path));
    std::filesystem::remove_all(directory);
  }
}

}  // namespace
}  // namespace zv
