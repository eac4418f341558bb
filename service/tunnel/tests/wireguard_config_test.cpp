#include "wireguard_config.h"

#include <gtest/gtest.h>

#include <cstring>

namespace zv {
namespace {

template <typename T>
T At(const std::vector<std::uint8_t>& block, std::size_t offset) {
  T value;
  std::memcpy(&value, block.data() + offset, sizeof value);
  return value;
}

TEST(ConfigurationBlock, ThreeNetworksMakeTheSpecifiedBytes) {
  WireGuardKey privateKey, serverKey;
  for (std::uint8_t i = 0; i < 32; ++i) {
    privateKey[i] = static_cast<std::uint8_t>(i + 1);
    serverKey[i] = static_cast<std::uint8_t>(0xF0 - i);
  }
  SocketAddressInet endpoint{};
  endpoint.family = kFamilyIpv4;
  endpoint.port = 0x1CCA;  // 51820 in network order on a little-endian host
  const std::uint8_t address[4] = {198, 51, 100, 7};
  std::memcpy(endpoint.rest, address, 4);

  std::vector<AllowedIp> networks(3);
  for (std::size_t i = 0; i < networks.size(); ++i) {
    networks[i].address[0] = static_cast<std::uint8_t>(10 + i);
    networks[i].addressFamily = kFamilyIpv4;
    networks[i].cidr = static_cast<std::uint8_t>(8 + i);
  }

  const auto block = ComposeConfigurationBlock(privateKey, serverKey, endpoint, networks);
  ASSERT_EQ(block.size(), 288u);
  EXPECT_EQ(At<std::uint32_t>(block, 0), 10u);  // has private key + replace peers
  EXPECT_EQ(At<std::uint16_t>(block, 4), 0u);   // no listen port
  EXPECT_EQ(std::memcmp(block.data() + 6, privateKey.data(), 32), 0);
  EXPECT_EQ(std::memcmp(block.data() + 38, std::vector<std::uint8_t>(32, 0).data(), 32), 0);  // no public key
  EXPECT_EQ(At<std::uint32_t>(block, 72), 1u);

  const std::size_t peer = 80;
  EXPECT_EQ(At<std::uint32_t>(block, peer), 45u);
  EXPECT_EQ(std::memcmp(block.data() + peer + 8, serverKey.data(), 32), 0);
  EXPECT_EQ(std::memcmp(block.data() + peer + 40, std::vector<std::uint8_t>(32, 0).data(), 32), 0);  // no preshared key
  EXPECT_EQ(At<std::uint16_t>(block, peer + 72), 25u);
  EXPECT_EQ(At<std::uint16_t>(block, peer + 76), kFamilyIpv4);
  EXPECT_EQ(block[peer + 78], 0xCA);
  EXPECT_EQ(block[peer + 79], 0x1C);
  EXPECT_EQ(std::memcmp(block.data() + peer + 80, address, 4), 0);
  EXPECT_EQ(At<std::uint32_t>(block, peer + 128), 3u);

  for (std::size_t i = 0; i < 3; ++i) {
    const std::size_t entry = 216 + 24 * i;
    EXPECT_EQ(block[entry], 10 + i);
    EXPECT_EQ(At<std::uint16_t>(block, entry + 16), kFamilyIpv4);
    EXPECT_EQ(block[entry + 18], 8 + i);
  }
}

TEST(ConfigurationBlock, EverythingUnsetIsZero) {
  const auto block = ComposeConfigurationBlock({}, {}, SocketAddressInet{}, {});
  ASSERT_EQ(block.size(), 216u);
  std::vector<std::uint8_t> expected(216, 0);
  expected[0] = 10;
  expected[72] = 1;
  expected[80] = 45;
  expected[80 + 72] = 25;
  EXPECT_EQ(block, expected);
}

}  // namespace
}  // namespace zv
