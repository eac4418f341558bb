#include "control_frame.h"

#include <gtest/gtest.h>

#include <vector>

namespace zv {
namespace {

std::vector<int> Bytes(const auto& array) { return {array.begin(), array.end()}; }

TEST(ControlFrame, WorkedExampleBothDirections) {
  const auto request = EncodeRequestHeader(1, 5, 0);
  EXPECT_EQ(Bytes(request), (std::vector<int>{0x43, 0x43, 0x41, 0x47, 1, 0, 1, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  const auto reply = EncodeReplyHeader(5, 0, static_cast<std::uint32_t>(kIdleBody.size()));
  EXPECT_EQ(Bytes(reply),
            (std::vector<int>{0x43, 0x43, 0x41, 0x47, 1, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0}));
}

// A distinct byte in every position catches a swapped, shifted or truncated field.
TEST(ControlFrame, WideFieldsRoundTripLittleEndian) {
  const std::uint64_t id = 0x8877665544332211ull;
  const auto request = EncodeRequestHeader(0xA1B2, id, 0xC1D2E3F4);
  EXPECT_EQ(request[6], 0xB2);
  EXPECT_EQ(request[8], 0x11);
  EXPECT_EQ(request[15], 0x88);
  EXPECT_EQ(request[19], 0xC1);
  const auto decodedRequest = DecodeRequestHeader(request);
  EXPECT_EQ(decodedRequest.magic, kControlMagic);
  EXPECT_EQ(decodedRequest.version, 1);
  EXPECT_EQ(decodedRequest.operation, 0xA1B2);
  EXPECT_EQ(decodedRequest.requestId, id);
  EXPECT_EQ(decodedRequest.bodyLength, 0xC1D2E3F4u);

  const auto decodedReply = DecodeReplyHeader(EncodeReplyHeader(id, 0x0A0B0C0D, 0x01020304));
  EXPECT_EQ(decodedReply.version, 1);
  EXPECT_EQ(decodedReply.reserved, 0);
  EXPECT_EQ(decodedReply.requestId, id);
  EXPECT_EQ(decodedReply.status, 0x0A0B0C0Du);
  EXPECT_EQ(decodedReply.bodyLength, 0x01020304u);
}

TEST(ControlFrame, BodiesHaveTheirExactLengths) {
  const std::pair<std::string_view, std::size_t> rows[] = {
      {kIdleBody, 16},         {kAcceleratingBody, 24},       {kAccessDeniedBody, 25},
      {kInvalidFrameBody, 25}, {kUnsupportedVersionBody, 31}, {kUnknownOperationBody, 29}};
  for (const auto& [body, length] : rows) EXPECT_EQ(body.size(), length) << body;
  EXPECT_EQ(ErrorBody("tunnel_already_running"), R"({"error":"tunnel_already_running"})");
}

}  // namespace
}  // namespace zv
