#include "control_frame.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

namespace zv {
namespace {

std::vector<int> Bytes(const auto& array) { return {array.begin(), array.end()}; }

// A distinct byte in every position catches a swapped, shifted or truncated
// field, in the encoder and the decoder alike.
TEST(ControlFrame, HeadersHoldLittleEndianFieldsAtTheirOffsets) {
  const std::uint64_t id = 0x8877665544332211ull;
  const auto request = EncodeRequestHeader(0xA1B2, id, 0xC1D2E3F4);
  EXPECT_EQ(Bytes(request), (std::vector<int>{'C', 'C', 'A', 'G', 1, 0, 0xB2, 0xA1, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66,
                                              0x77, 0x88, 0xF4, 0xE3, 0xD2, 0xC1}));
  const auto in = DecodeRequestHeader(request);
  EXPECT_EQ(std::tuple(in.magic, in.version, in.operation, in.requestId, in.bodyLength),
            std::tuple(kControlMagic, std::uint16_t{1}, std::uint16_t{0xA1B2}, id, 0xC1D2E3F4u));

  const auto reply = EncodeReplyHeader(id, 0x0A0B0C0D, 0x01020304);
  EXPECT_EQ(Bytes(reply), (std::vector<int>{'C', 'C', 'A', 'G', 1, 0, 0, 0, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                            0x88, 0x0D, 0x0C, 0x0B, 0x0A, 0x04, 0x03, 0x02, 0x01}));
  const auto out = DecodeReplyHeader(reply);
  EXPECT_EQ(std::tuple(out.magic, out.version, out.reserved, out.requestId, out.status, out.bodyLength),
            std::tuple(kControlMagic, std::uint16_t{1}, std::uint16_t{0}, id, 0x0A0B0C0Du, 0x01020304u));
}

}  // namespace
}  // namespace zv
