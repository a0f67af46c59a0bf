// The header and the byte order of the wire format. Bytes here are literals
// on purpose: they must not come from the definitions they check. Field
// offsets and lengths are held to the guide's literal tables by
// ProtocolGuideTest.
#include <gtest/gtest.h>

#include <cstring>

#include "link/Messages.h"

using namespace velmir;

TEST(MessageHeader, ConstructedThenStampedHeaderHasTheProtocolBytes) {
    std::uint8_t message[31];
    std::memset(message, 0xAA, sizeof message);
    ConstructHeader(message);
    EXPECT_EQ(message[0], 0x0B);
    EXPECT_EQ(message[1], 0x00);
    for (int i = 2; i < 24; ++i) EXPECT_EQ(message[i], 0) << "byte " << i;
    EXPECT_EQ(message[24], 0xAA) << "construction stays within the header";

    StampHeader(message, 0x2A0B, 2);
    const std::uint8_t expected[24] = {0x0B, 0x2A, 0, 0, 0, 0, 0, 0, 0, 0,    0,    0,
                                       0,    0,    0, 0, 0, 0, 0, 0, 0, 0x0F, 0x52, 2};
    EXPECT_EQ(std::memcmp(message, expected, 24), 0);
}

TEST(MessageHeader, JudgingFollowsTheReceiveOrder) {
    std::uint8_t datagram[24] = {};
    datagram[21] = 0x0F;
    datagram[22] = 0x52;
    datagram[23] = 4;
    EXPECT_EQ(JudgeHeader(datagram, 24), HeaderVerdict::Dispatch);
    EXPECT_EQ(JudgeHeader(datagram, 23), HeaderVerdict::TooShort);

    // Reserved bytes and the link tag are never looked at.
    std::uint8_t noisy[24];
    std::memcpy(noisy, datagram, 24);
    for (int i = 0; i < 21; ++i) noisy[i] = 0xFF;
    EXPECT_EQ(JudgeHeader(noisy, 24), HeaderVerdict::Dispatch);

    for (int type : {7, 10}) {
        datagram[23] = static_cast<std::uint8_t>(type);
        EXPECT_EQ(JudgeHeader(datagram, 24), HeaderVerdict::SendOnly) << type;
    }
    for (int type : {14, 200, 255}) {
        datagram[23] = static_cast<std::uint8_t>(type);
        EXPECT_EQ(JudgeHeader(datagram, 24), HeaderVerdict::UnknownType) << type;
    }

    // The version written big-endian is a mismatch, and is judged before
    // the type.
    datagram[21] = 0x52;
    datagram[22] = 0x0F;
    datagram[23] = 255;
    EXPECT_EQ(JudgeHeader(datagram, 24), HeaderVerdict::VersionMismatch);
}

TEST(MessageLayout, ValuesTravelLittleEndianAtOddOffsets) {
    std::uint8_t message[120] = {};
    Put(message, PositionLayout::Time, 1.0);
    const std::uint8_t one[8] = {0, 0, 0, 0, 0, 0, 0xF0, 0x3F};
    EXPECT_EQ(std::memcmp(message + 25, one, 8), 0);
    Put(message, PositionLayout::YokePitch, static_cast<std::int16_t>(-16384));
    EXPECT_EQ(message[107], 0x00);
    EXPECT_EQ(message[108], 0xC0);
    EXPECT_DOUBLE_EQ(Get(message, PositionLayout::Time), 1.0);
}
