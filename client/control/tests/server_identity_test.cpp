// The server identity decisions as tables over what the platform answers.
#include <gtest/gtest.h>

#include "server_identity.h"

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

struct FakePipeQueries final : zv::PipeServerQueries {
  std::optional<std::uint32_t> server;
  std::optional<zv::ServiceRecord> service;
  std::optional<zv::PipeOwner> owner;
  std::intptr_t askedPipe = 0;
  std::optional<std::uint32_t> ServerProcessId(std::intptr_t pipe) override { return askedPipe = pipe, server; }
  std::optional<zv::PipeOwner> Owner(std::intptr_t pipe) override { return askedPipe = pipe, owner; }
  std::optional<zv::ServiceRecord> ServiceProcess() override { return service; }
};

TEST(ServerIdentity, OnWindowsTheRunningServicesOwnProcessOnAPipeOwnedByLocalSystem) {
  constexpr std::uint32_t kStopped = 1, kStartPending = 2, kStopPending = 3;
  const zv::ServiceRecord running{zv::kServiceRunning, 42};
  const auto owner = [](const char* sid) { return zv::PipeOwner{false, sid}; };
  const zv::PipeOwner system = owner("S-1-5-18"), user = owner("S-1-5-21-1004336348-1177238915-682003330-1001");
  const zv::PipeOwner closed{true, {}};
  const struct {
    const char* why;
    std::optional<std::uint32_t> server;
    std::optional<zv::ServiceRecord> service;
    std::optional<zv::PipeOwner> owner;
    bool accepted;
  } rows[] = {
      {"the service", 42, running, system, true},
      {"an instance another process added to the service's pipe", 7, running, system, false},
      {"a pipe a user's program made while the service is stopped", 7, zv::ServiceRecord{kStopped, 0}, user, false},
      {"the service's process, but a pipe someone else made first", 42, running, user, false},
      {"owned by the administrators", 42, running, owner("S-1-5-32-544"), false},
      {"owned by LocalService", 42, running, owner("S-1-5-19"), false},
      {"a longer SID that begins alike", 42, running, owner("S-1-5-18-1"), false},
      {"the service stopping", 42, zv::ServiceRecord{kStopPending, 42}, system, false},
      {"the service starting", 42, zv::ServiceRecord{kStartPending, 42}, system, false},
      {"a record without a process", 0, zv::ServiceRecord{zv::kServiceRunning, 0}, system, false},
      {"no service record (not installed, or not ours to ask)", 42, std::nullopt, system, false},
      {"no server process id", std::nullopt, running, system, false},
      {"no owner", 42, running, std::nullopt, false},
      // The service refused the caller, answered and closed before the check: its answer is in the pipe.
      {"closed by the service's own process", 42, running, closed, true},
      {"closed by another process", 7, running, closed, false},
      {"closed, the service stopping", 42, zv::ServiceRecord{kStopPending, 42}, closed, false},
  };
  for (const auto& row : rows) {
    FakePipeQueries queries;
    queries.server = row.server;
    queries.service = row.service;
    queries.owner = row.owner;
    EXPECT_EQ(zv::PipeServedByTheService(queries, 0x1234), row.accepted) << row.why;
    if (row.server) {
      EXPECT_EQ(queries.askedPipe, 0x1234) << "the connected pipe's own handle";
    }
  }
}

}  // namespace
