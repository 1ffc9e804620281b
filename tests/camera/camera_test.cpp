#include "camera/camera.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

EdsDeviceInfo Record(const char* Description) {
  EdsDeviceInfo info{};
  std::strcpy(info.PortName, "port");
  std::strcpy(info.DeviceDescription, Description);
  info.DeviceSubType = 7;
  return info;
}

TEST(Camera, KeepsItsOwnCopyOfTheRecord) {
  EdsDeviceInfo info = Record("Studio body");
  const TCamera camera(info);
  const EdsDeviceInfo original = info;
  std::strcpy(info.DeviceDescription, "changed");
  info.DeviceSubType = 0;
  EXPECT_EQ(std::memcmp(&camera.DeviceInfo, &original, sizeof original), 0);
  EXPECT_EQ(camera.GetDescription(), "Studio body");
}

TEST(Camera, DescriptionEndsAtTheFirstNul) {
  EdsDeviceInfo info = Record("");
  std::memcpy(info.DeviceDescription, "Body\0tail", 9);
  EXPECT_EQ(TCamera(info).GetDescription(), "Body");
  EXPECT_EQ(TCamera(Record("")).GetDescription(), "");
  EXPECT_EQ(TCamera(Record("Tělo \xE2\x84\x96 2")).GetDescription(), "Tělo \xE2\x84\x96 2");
}

TEST(Camera, DescriptionWithoutNulStopsAtTheFieldEnd) {
  EdsDeviceInfo info = Record("");
  std::fill(std::begin(info.DeviceDescription), std::end(info.DeviceDescription), 'D');
  info.DeviceSubType = 0x45454545;  // "EEEE" right after the field
  EXPECT_EQ(TCamera(info).GetDescription(), std::string(256, 'D'));
}

}  // namespace
