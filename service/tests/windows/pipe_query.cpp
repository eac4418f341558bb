// Sends one QueryState over the service's pipe and prints the reply as
// "status <n> id <n> body <text>", or "no reply"; exit code 0 only for a reply.
#include <windows.h>

#include <cstdio>
#include <string>

#include "control_channel.h"
#include "control_frame.h"

namespace {

bool Exact(HANDLE pipe, void* data, DWORD length, bool write) {
  auto* bytes = static_cast<std::uint8_t*>(data);
  for (DWORD done = 0; length > 0; bytes += done, length -= done) {
    const BOOL ok = write ? WriteFile(pipe, bytes, length, &done, nullptr) : ReadFile(pipe, bytes, length, &done, nullptr);
    if (!ok || done == 0) return false;
  }
  return true;
}

}  // namespace

int wmain() {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && pipe == INVALID_HANDLE_VALUE; ++attempt) {
    pipe = CreateFileW(zv::kControlPipePath, zv::kControlPipeClientAccess, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) Sleep(100);  // the service may still be creating it
  }
  if (pipe == INVALID_HANDLE_VALUE) {
    std::printf("no pipe %lu\n", GetLastError());
    return 2;
  }
  auto request = zv::EncodeRequestHeader(static_cast<std::uint16_t>(zv::ControlOperation::QueryState), 77, 0);
  zv::ReplyHeaderBytes raw{};
  std::string body;
  bool replied = Exact(pipe, request.data(), static_cast<DWORD>(request.size()), true) &&
                 Exact(pipe, raw.data(), static_cast<DWORD>(raw.size()), false);
  const zv::ControlReplyHeader header = zv::DecodeReplyHeader(raw);
  body.resize(replied && header.bodyLength <= zv::kMaxControlBody ? header.bodyLength : 0);
  replied = replied && header.bodyLength <= zv::kMaxControlBody && Exact(pipe, body.data(), header.bodyLength, false);
  CloseHandle(pipe);
  if (!replied) {
    std::printf("no reply\n");
    return 1;
  }
  std::printf("status %u id %llu body %s\n", header.status, static_cast<unsigned long long>(header.requestId),
              body.c_str());
  return 0;
}
