// A ControlServer serving the real Unix socket listener in a fresh temporary
// folder, for tests that talk to it as a client does.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "control_channel.h"
#include "control_probe.h"
#include "control_server.h"

namespace zv::test {

class ListeningServer {
 public:
  explicit ListeningServer(TunnelEngine& engine) : engine_(engine) {
    char pattern[] = "/tmp/zv-listener-XXXXXX";
    if (mkdtemp(pattern) == nullptr) ADD_FAILURE() << "no temporary folder";
    directory = pattern;
    chmod(pattern, 0755);  // lets an unprivileged test child reach the socket
    path = (directory / "control.sock").string();
    setenv(kControlSocketVariable, path.c_str(), 1);
  }
  ~ListeningServer() {
    if (server) Stop();
    std::filesystem::remove_all(directory);
  }

  void Launch() {
    stopEvent = std::make_unique<StopEvent>();  // manual reset: each run needs a fresh one
    server = std::make_unique<ControlServer>(*stopEvent, engine_);
    server->StartListener();
  }
  // Ready once a connection is accepted; a stale socket file alone refuses it.
  void Start() {
    Launch();
    int ready = -1;
    for (int i = 0; i < 500 && (ready = probe::Connect(path)) < 0; ++i) usleep(2000);
    ASSERT_GE(ready, 0) << "the listener never accepted";
    close(ready);
  }
  void Stop() {
    stopEvent->Signal();
    server->JoinListener();
    server.reset();
  }

  std::filesystem::path directory;
  std::string path;
  std::unique_ptr<StopEvent> stopEvent;
  std::unique_ptr<ControlServer> server;

 private:
  TunnelEngine& engine_;
};

}  // namespace zv::test
