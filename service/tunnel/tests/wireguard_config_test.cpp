#include "wireguard_config.h"

#include <gtest/gtest.h>

#include <cstring>

namespace zv {
namespace {

// The whole block against bytes written at WireGuardNT's published offsets:
// any other byte that is not zero is a fault.
TEST(ConfigurationBlock, ThreeNetworksMakeTheSpecifiedBytes) {
  WireGuardKey privateKey, serverKey;
  for (std::uint8_t i = 0; i < 32; ++i) {
    privateKey[i] = static_cast<std::uint8_t>(i + 1);
    serverKey[i] = static_cast<std::uint8_t>(0xF0 - i);
  }
  SocketAddressInet endpoint{kFamilyIpv4, 0x1CCA, {198, 51, 100, 7}};  // port 51820, network order
  std::vector<AllowedIp> networks(3);
  for (std::uint8_t i = 0; i < 3; ++i) networks[i] = AllowedIp{{static_cast<std::uint8_t>(10 + i)}, kFamilyIpv4, 8};

  std::vector<std::uint8_t> expected(288, 0);
  auto put = [&](std::size_t at, std::initializer_list<int> bytes) {
    for (int b : bytes) expected[at++] = static_cast<std::uint8_t>(b);
  };
  put(0, {10});  // has private key + replace peers; no listen port, no public key
  std::memcpy(&expected[6], privateKey.data(), 32);
  put(72, {1});  // one peer
  put(80, {45});  // public key, keepalive, endpoint, replace allowed IPs; no preshared key
  std::memcpy(&expected[88], serverKey.data(), 32);
  put(152, {25});
  put(156, {2, 0, 0xCA, 0x1C, 198, 51, 100, 7});
  put(208, {3});
  for (int i = 0; i < 3; ++i) put(216 + 24 * i, {10 + i}), put(216 + 24 * i + 16, {2, 0, 8});

  EXPECT_EQ(ComposeConfigurationBlock(privateKey, serverKey, endpoint, networks), expected);
}

}  // namespace
}  // namespace zv
