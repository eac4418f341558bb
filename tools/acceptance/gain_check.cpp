// A split acceleration with the kit itself as the game, to an endpoint that
// never answers (TEST-NET-1): the kit sends to a public server, and the
// service must name that server as the game's and measure it directly while
// the tunnel's figure stays out (nothing comes back through it). Prints the
// figures the service reported.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <string>

#include "control_frame.h"
#include "kit.h"
#include "x25519.h"

namespace zv::kit {
namespace {

constexpr char kGameServer[] = "1.1.1.1";  // answers echoes from most networks
constexpr u_short kGamePort = 443;
constexpr int kQualitySeconds = 20;

std::string KeyText(const Bytes32& key) {
  char text[64] = {};
  DWORD length = sizeof text;
  CryptBinaryToStringA(key.data(), key.size(), CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF, text, &length);
  return std::string(text, length);
}

// A member of a QueryQuality body as written there, without quotes; empty when absent.
std::string MemberOf(const std::string& body, const std::string& name) {
  const auto at = body.find("\"" + name + "\":");
  if (at == std::string::npos) return {};
  std::size_t from = at + name.size() + 3;
  if (from < body.size() && body[from] == '"') ++from;
  return body.substr(from, body.find_first_of("\",}", from) - from);
}

// One datagram, from a socket of its own: each is a new flow for the split's driver.
void SendToGameServer() {
  const SOCKET datagrams = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (datagrams == INVALID_SOCKET) return;
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(kGamePort);
  inet_pton(AF_INET, kGameServer, &server.sin_addr);
  sendto(datagrams, "zv", 2, 0, reinterpret_cast<const sockaddr*>(&server), sizeof server);
  closesocket(datagrams);
}

}  // namespace

Outcome CheckGain(const Options&) {
  WSADATA winsock;
  if (WSAStartup(MAKEWORD(2, 2), &winsock) != 0) return Fail("no Winsock");
  Bytes32 own{}, node{};
  BCryptGenRandom(nullptr, own.data(), own.size(), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  BCryptGenRandom(nullptr, node.data(), node.size(), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  const std::string request = R"({"private_key":")" + KeyText(own) +
                              R"(","assigned_ip":"10.240.0.2/32","server_public_key":")" +
                              KeyText(X25519(node, kBasePoint)) +
                              R"(","endpoint":"192.0.2.1:51820","route_mode":"process-beta",)"
                              R"("allowed_ips":["203.0.113.0/24"],"game_processes":["zentravolk-acceptance.exe"]})";
  const Answer start = AskService(static_cast<std::uint16_t>(ControlOperation::StartTunnel), request);
  if (!start.replied || start.status != 0 || start.body != kAcceleratingBody) {
    WSACleanup();
    return Fail("StartTunnel: " + Describe(start));
  }
  std::string body;
  for (int second = 0; second < kQualitySeconds; ++second) {
    SendToGameServer();  // the tracker lists the kit within moments; its later flows are the game's
    Sleep(1000);
    body = AskService(static_cast<std::uint16_t>(ControlOperation::QueryQuality), {}).body;
    if (MemberOf(body, "game_address") == kGameServer && !MemberOf(body, "game_direct_ms").empty()) break;
  }
  const Answer stop = AskService(static_cast<std::uint16_t>(ControlOperation::StopTunnel), {});
  WSACleanup();
  std::string figures;
  for (const char* name : {"game_address", "game_probe", "game_direct_ms", "game_tunnel_ms", "node_direct_ms", "uplink"}) {
    const std::string value = MemberOf(body, name);
    figures += std::string(figures.empty() ? "" : ", ") + name + " " + (value.empty() ? "(absent)" : value);
  }
  if (MemberOf(body, "game_address") != kGameServer) return Fail("the kit's server is not named the game's: " + body);
  if (MemberOf(body, "game_direct_ms").empty() || MemberOf(body, "uplink") != "up") return Fail(figures);
  if (!MemberOf(body, "game_tunnel_ms").empty()) return Fail("a tunnel figure through a dead node: " + figures);
  if (!stop.replied || stop.status != 0) return Fail("StopTunnel: " + Describe(stop));
  return Pass(figures);
}

}  // namespace zv::kit
