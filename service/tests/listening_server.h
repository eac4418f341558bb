// A ControlServer serving the real Unix socket listener in a fresh temporary
// folder, for tests that talk to it as a client does.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "control_channel.h"
#include "control_probe.h"
#include "control_server.h"

namespace zv::test {

class ListeningServer {
 public:
  explicit ListeningServer(TunnelEngine& engine, LinkQuality* quality = nullptr) : engine(engine), quality(quality) {
    char pattern[] = "/tmp/zv-listener-XXXXXX";
    if (mkdtemp(pattern) == nullptr) ADD_FAILURE() << "no temporary folder";
    chmod(pattern, 0755);  // lets an unprivileged test child reach the socket
    directory = pattern;
    path = (directory / "control.sock").string();
    setenv(kControlSocketVariable, path.c_str(), 1);
  }
  ~ListeningServer() {
    if (server) Stop();
    std::filesystem::remove_all(directory);
  }

  // Ready once a connection is accepted; a stale socket file alone refuses it.
  void Start() {
    server.emplace(stopEvent, engine, quality).StartListener();
    int ready = -1;
    for (int i = 0; i < 500 && (ready = probe::Connect(path)) < 0; ++i) usleep(2000);
    ASSERT_GE(ready, 0) << "the listener never accepted";
    close(ready);
  }
  void Stop() {
    stopEvent.Signal();
    server->JoinListener();
    server.reset();
  }

  std::filesystem::path directory;
  std::string path;
  StopEvent stopEvent;  // manual reset: one run per rig
  std::optional<ControlServer> server;

 private:
  TunnelEngine& engine;
  LinkQuality* quality;
};

}  // namespace zv::test
