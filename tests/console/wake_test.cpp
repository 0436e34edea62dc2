// Power-on: MAC addresses as operators and the neighbour table write them,
// and the magic packet's bytes.
#include <gtest/gtest.h>

#include "console/core/room_file.h"
#include "console/core/wake.h"

namespace zalvo::console {
namespace {

TEST(Wake, MacAddressesAndTheMagicPacket) {
  auto mac = ParseMac("00:1A:2b:3C:4d:5E");
  ASSERT_TRUE(mac);
  EXPECT_EQ(MacText(*mac), "00:1a:2b:3c:4d:5e");
  EXPECT_EQ(ParseMac("00-1a-2b-3c-4d-5e"), mac);
  EXPECT_EQ(ParseMac("001a2b3c4d5e"), mac);
  for (const char* bad : {"", "00:1a:2b:3c:4d", "00:1a:2b:3c:4d:5e:6f", "00:1a-2b:3c:4d:5e",
                          "00:1a:2b:3c:4d:5g", "00.1a.2b.3c.4d.5e", "ff:ff:ff:ff:ff:ff",
                          "00:00:00:00:00:00", "01:00:5e:00:00:01", " 00:1a:2b:3c:4d:5e"}) {
    EXPECT_FALSE(ParseMac(bad)) << bad;
  }

  std::string packet = MagicPacket(*mac);
  ASSERT_EQ(packet.size(), 102u);
  EXPECT_EQ(packet.substr(0, 6), std::string(6, '\xFF'));
  for (size_t i = 6; i < packet.size(); i += 6) {
    EXPECT_EQ(packet.substr(i, 6), std::string("\x00\x1a\x2b\x3c\x4d\x5e", 6)) << i;
  }

  auto table = ParseNeighbourTable(
      "IP address       HW type     Flags       HW address            Mask     Device\n"
      "10.0.0.11        0x1         0x2         00:1a:2b:3c:4d:5e     *        eth0\n"
      "10.0.0.12        0x1         0x0         00:00:00:00:00:00     *        eth0\n"
      "10.0.0.13        0x1         0x2         aa:bb:cc:dd:ee:0f     *        eth0\n"
      "garbage\n");
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(table.at("10.0.0.11"), *mac);
  EXPECT_EQ(table.count("10.0.0.12"), 0u) << "an incomplete entry";

  auto plan = ParseRoomPlan(
      "\"PC 1\" 10.0.0.11 1 1 mac 00-1A-2B-3C-4D-5E\nmac 10.0.0.13 mac 02:00:00:00:00:01\n");
  ASSERT_EQ(plan.stations.size(), 2u);
  EXPECT_EQ(plan.stations[0].mac, "00:1a:2b:3c:4d:5e");
  EXPECT_EQ(plan.stations[0].column, 1);
  EXPECT_EQ(plan.stations[1].name, "mac");
  try {
    ParseRoomPlan("PC1 10.0.0.11\nPC2 10.0.0.12 mac 00:1a\n");
    ADD_FAILURE();
  } catch (const Refused& e) {
    EXPECT_NE(std::string(e.what()).find("line 2: '00:1a' is not a network card's MAC address"),
              std::string::npos)
        << e.what();
  }
}

}  // namespace
}  // namespace zalvo::console
