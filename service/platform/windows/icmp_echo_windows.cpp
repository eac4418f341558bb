#include "icmp_echo_windows.h"

#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <icmpapi.h>

#include <vector>

// IP Helper's echo from a given source address (Windows Vista and later).
extern "C" DWORD WINAPI IcmpSendEcho2Ex(HANDLE icmpHandle, HANDLE event, FARPROC apcRoutine, PVOID apcContext,
                                        IPAddr sourceAddress, IPAddr destinationAddress, LPVOID requestData,
                                        WORD requestSize, PIP_OPTION_INFORMATION requestOptions, LPVOID replyBuffer,
                                        DWORD replySize, DWORD timeout);

namespace zv {

std::optional<std::chrono::microseconds> IcmpEcho(std::optional<IN_ADDR> source, IN_ADDR to,
                                                  std::chrono::milliseconds wait) {
  const HANDLE icmp = IcmpCreateFile();
  if (icmp == INVALID_HANDLE_VALUE) return std::nullopt;
  char data[8] = "zvecho";
  std::vector<unsigned char> reply(sizeof(ICMP_ECHO_REPLY) + sizeof data + 8 + 64);
  const auto replySize = static_cast<DWORD>(reply.size());
  const auto timeout = static_cast<DWORD>(wait.count());
  const DWORD answers =
      source ? IcmpSendEcho2Ex(icmp, nullptr, nullptr, nullptr, source->S_un.S_addr, to.S_un.S_addr, data, sizeof data,
                               nullptr, reply.data(), replySize, timeout)
             : IcmpSendEcho(icmp, to.S_un.S_addr, data, sizeof data, nullptr, reply.data(), replySize, timeout);
  std::optional<std::chrono::microseconds> roundTrip;
  if (answers > 0) {
    const auto* first = reinterpret_cast<const ICMP_ECHO_REPLY*>(reply.data());
    if (first->Status == IP_SUCCESS) roundTrip = std::chrono::milliseconds(first->RoundTripTime);
  }
  IcmpCloseHandle(icmp);
  return roundTrip;
}

}  // namespace zv
