#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "orvalis/Packet.hpp"

using quenfold::orvalis::Packet;

namespace {

std::string sizeError(void (*action)(Packet&), Packet& packet) {
    try {
        action(packet);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "no error";
}

}  // namespace

TEST(Packet, DefaultIsEmptyHeaderOnly) {
    Packet packet;
    EXPECT_FALSE(packet.valid());
    EXPECT_EQ(packet.rawData()[0], 0xFF);
    EXPECT_EQ(packet.channel(), 3);
    EXPECT_EQ(packet.port(), 15);
    EXPECT_EQ(packet.payloadSize(), 0u);
    EXPECT_EQ(packet.toString(),
              "Packet(channel=3,port=15,safelinkUp=1,safelinkDown=1,data=,seq=0)");
}

TEST(Packet, HeaderFieldsKeepTheOtherBits) {
    Packet packet;
    packet.setPort(16);
    EXPECT_EQ(packet.port(), 0);
    EXPECT_EQ(packet.rawData()[0], 0x0F);
    packet.setPort(0x1F);
    EXPECT_EQ(packet.port(), 15);
    packet.setChannel(5);
    EXPECT_EQ(packet.channel(), 1);
    EXPECT_TRUE(packet.safelinkUp());
    EXPECT_TRUE(packet.safelinkDown());
    packet.setSafelinkBits(false, true);
    EXPECT_EQ(packet.rawData()[0], 0xF5);
    EXPECT_EQ(packet.port(), 15);
    EXPECT_EQ(packet.channel(), 1);
}

TEST(Packet, PayloadLimitsAndRefusals) {
    Packet packet;
    packet.setPayload(std::string(31, 'x'));
    EXPECT_EQ(packet.size(), 32u);

    packet.setPayload("ab");
    EXPECT_EQ(sizeError([](Packet& p) { p.setPayload(std::string(32, 'y')); }, packet),
              "Size 33 too large! Maximum: 32.");
    EXPECT_EQ(packet.payload(), "ab");
    EXPECT_EQ(sizeError([](Packet& p) { p.setRawSize(33); }, packet),
              "Size 33 too large! Maximum: 32.");
    // A payload size near 2^64 must not wrap into a small record size.
    EXPECT_EQ(sizeError([](Packet& p) { p.setPayloadSize(UINT64_MAX); }, packet),
              "Size 18446744073709551616 too large! Maximum: 32.");
    EXPECT_EQ(sizeError([](Packet& p) { p.setPayloadSize(UINT64_MAX - 1); }, packet),
              "Size 18446744073709551615 too large! Maximum: 32.");
    EXPECT_EQ(packet.size(), 3u);

    packet.setPayloadSize(0);
    EXPECT_TRUE(packet.valid());
    EXPECT_EQ(packet.size(), 1u);
    packet.setRawSize(32);
    EXPECT_EQ(packet.payloadSize(), 31u);
}

TEST(Packet, ShrinkingKeepsBytesForLaterGrowth) {
    Packet packet;
    packet.setPayload(std::string("\x01\x02\x03\x04\x05", 5));
    packet.setPayloadSize(2);
    EXPECT_EQ(packet.payload(), std::string("\x01\x02", 2));
    packet.setPayloadSize(5);
    EXPECT_EQ(packet.payload(), std::string("\x01\x02\x03\x04\x05", 5));
}

TEST(Packet, TextFormPrintsBytesAsNumbers) {
    Packet packet;
    packet.rawData()[0] = 0x3C;
    packet.setPayload(std::string("\x01\x02", 2));
    packet.setSeq(5);
    EXPECT_EQ(packet.toString(),
              "Packet(channel=0,port=3,safelinkUp=1,safelinkDown=1,data=1 2 ,seq=5)");

    packet.setPayload(
        std::string("\xff\x00"
                    "A",
                    3));
    packet.setPort(10);
    EXPECT_EQ(packet.toString(),
              "Packet(channel=0,port=10,safelinkUp=1,safelinkDown=1,data=255 0 65 ,seq=5)");

    packet.setPayloadSize(0);
    EXPECT_EQ(packet.toString(),
              "Packet(channel=0,port=10,safelinkUp=1,safelinkDown=1,data=,seq=5)");
}
