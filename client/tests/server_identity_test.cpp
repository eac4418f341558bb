// Who the client accepts at the other end of the control channel.
#include "server_identity.h"

#include <gtest/gtest.h>

#include <map>

namespace {

TEST(ServerIdentity, OnLinuxRootOrTheOwnUserOfAMovedSocket) {
  const struct {
    std::optional<std::uint32_t> server;
    std::uint32_t own;
    bool moved, accepted;
  } rows[] = {
      {0, 1000, false, true},       // the service
      {0, 1000, true, true},        // the service on a moved socket
      {1000, 1000, true, true},     // a test or unprivileged run of our own
      {1000, 1000, false, false},   // our own user on the service's path is not the service
      {65534, 1000, true, false},   // another user
      {65534, 0, false, false},     // another user, seen by a root client
      {std::nullopt, 0, false, false},  // the query failed
      {std::nullopt, 1000, true, false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(zv::SocketServerAccepted(row.server, row.own, row.moved), row.accepted)
        << row.server.value_or(-1) << " " << row.own << " " << row.moved;
  }
}

class FakePipeQueries final : public zv::PipeServerQueries {
 public:
  std::optional<std::uint32_t> process;
  std::map<std::uint32_t, std::string> users;
  std::intptr_t askedPipe = 0;
  std::optional<std::uint32_t> ServerProcessId(std::intptr_t pipe) override {
    askedPipe = pipe;
    return process;
  }
  std::optional<std::string> ProcessUserSid(std::uint32_t processId) override {
    const auto found = users.find(processId);
    return found == users.end() ? std::nullopt : std::optional(found->second);
  }
};

TEST(ServerIdentity, OnWindowsOnlyAPipeServedByLocalSystem) {
  const struct {
    std::optional<std::uint32_t> process;
    std::map<std::uint32_t, std::string> users;
    bool accepted;
  } rows[] = {
      {42, {{42, "S-1-5-18"}}, true},
      {42, {{42, "S-1-5-21-1004336348-1177238915-682003330-1001"}}, false},  // a user's program
      {42, {{42, "S-1-5-19"}}, false},                                      // LocalService
      {42, {{42, "S-1-5-18-1"}}, false},
      {42, {{7, "S-1-5-18"}}, false},  // the token query failed for the server
      {std::nullopt, {{42, "S-1-5-18"}}, false},  // no server process id
  };
  for (const auto& row : rows) {
    FakePipeQueries queries;
    queries.process = row.process;
    queries.users = row.users;
    EXPECT_EQ(zv::PipeServerIsLocalSystem(queries, 0x1234), row.accepted);
    EXPECT_EQ(queries.askedPipe, 0x1234) << "the connected pipe's own handle";
  }
}

}  // namespace
