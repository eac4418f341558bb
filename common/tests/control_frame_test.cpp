#include "control_frame.h"

#include <gtest/gtest.h>

#include <vector>

namespace zv {
namespace {

std::vector<int> Bytes(const auto& array) { return {array.begin(), array.end()}; }

TEST(ControlFrame, QueryStateRequestMatchesTheWorkedExample) {
  const std::vector<int> expected = {0x43, 0x43, 0x41, 0x47, 0x01, 0x00, 0x01, 0x00, 0x05, 0x00,
                                     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  const auto bytes = EncodeRequestHeader(1, 5, 0);
  EXPECT_EQ(Bytes(bytes), expected);

  const ControlRequestHeader header = DecodeRequestHeader(bytes);
  EXPECT_EQ(header.magic, kControlMagic);
  EXPECT_EQ(header.version, 1);
  EXPECT_EQ(header.operation, 1);
  EXPECT_EQ(header.requestId, 5u);
  EXPECT_EQ(header.bodyLength, 0u);
}

TEST(ControlFrame, IdleReplyMatchesTheWorkedExample) {
  const std::vector<int> expected = {0x43, 0x43, 0x41, 0x47, 0x01, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00,
                                     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00};
  const auto bytes = EncodeReplyHeader(5, 0, static_cast<std::uint32_t>(kIdleBody.size()));
  EXPECT_EQ(Bytes(bytes), expected);

  const ControlReplyHeader header = DecodeReplyHeader(bytes);
  EXPECT_EQ(header.magic, kControlMagic);
  EXPECT_EQ(header.version, 1);
  EXPECT_EQ(header.reserved, 0);
  EXPECT_EQ(header.requestId, 5u);
  EXPECT_EQ(header.status, 0u);
  EXPECT_EQ(header.bodyLength, 16u);
}

// Wide values with a distinct byte in every position catch a swapped or
// truncated field that small values would hide.
TEST(ControlFrame, WideFieldsAreLittleEndianAndRoundTrip) {
  const std::uint64_t id = 0x8877665544332211ull;
  const auto request = EncodeRequestHeader(0xA1B2, id, 0xC1D2E3F4);
  EXPECT_EQ(request[6], 0xB2);
  EXPECT_EQ(request[7], 0xA1);
  EXPECT_EQ(request[8], 0x11);
  EXPECT_EQ(request[15], 0x88);
  EXPECT_EQ(request[16], 0xF4);
  EXPECT_EQ(request[19], 0xC1);
  const auto decodedRequest = DecodeRequestHeader(request);
  EXPECT_EQ(decodedRequest.operation, 0xA1B2);
  EXPECT_EQ(decodedRequest.requestId, id);
  EXPECT_EQ(decodedRequest.bodyLength, 0xC1D2E3F4u);

  const auto reply = EncodeReplyHeader(id, 0x0A0B0C0D, 0x01020304);
  EXPECT_EQ(reply[16], 0x0D);
  EXPECT_EQ(reply[20], 0x04);
  const auto decodedReply = DecodeReplyHeader(reply);
  EXPECT_EQ(decodedReply.requestId, id);
  EXPECT_EQ(decodedReply.status, 0x0A0B0C0Du);
  EXPECT_EQ(decodedReply.bodyLength, 0x01020304u);
}

TEST(ControlFrame, DecodersDoNotJudgeWhatTheyRead) {
  auto bytes = EncodeRequestHeader(9, 1, kMaxControlBody + 1);
  bytes[0] = 0;
  bytes[4] = 2;
  const auto header = DecodeRequestHeader(bytes);
  EXPECT_EQ(header.magic, 0x47414300u);
  EXPECT_EQ(header.version, 2);
  EXPECT_EQ(header.bodyLength, kMaxControlBody + 1);

  auto reply = EncodeReplyHeader(1, 0, 0);
  reply[6] = 0x7F;
  EXPECT_EQ(DecodeReplyHeader(reply).reserved, 0x7F);
}

TEST(ControlFrame, ReplyBodiesAreExact) {
  struct Row {
    std::string_view body;
    std::size_t length;
  };
  const Row rows[] = {{kIdleBody, 16},          {kAcceleratingBody, 24},       {kAccessDeniedBody, 25},
                      {kInvalidFrameBody, 25},  {kUnsupportedVersionBody, 31}, {kUnknownOperationBody, 29}};
  for (const Row& row : rows) EXPECT_EQ(row.body.size(), row.length) << row.body;
  EXPECT_EQ(kMaxControlBody, 65536u);
}

TEST(ControlFrame, ErrorBodyWrapsTheCodeVerbatim) {
  EXPECT_EQ(ErrorBody("tunnel_already_running"), R"({"error":"tunnel_already_running"})");
  EXPECT_EQ(ErrorBody("create_adapter_failed_5"), R"({"error":"create_adapter_failed_5"})");
  EXPECT_EQ(ErrorBody(""), R"({"error":""})");
  EXPECT_EQ(ErrorBody("x").size(), 13u);
}

}  // namespace
}  // namespace zv
