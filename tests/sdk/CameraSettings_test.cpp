// How the station shows camera settings that have no number.

#include "sdk/CameraSettings.h"

#include <gtest/gtest.h>

namespace {

TEST(CameraSettings, AutomaticIsoAndBulbAreShownByNameAndTheIsoIsSeenAsMetered) {
  std::vector<TSettingState> settings = {
      {TCameraSetting::ExposureMode, {0, "manual"}, {}, true},
      {TCameraSetting::ShutterSpeed, {0, BulbValue}, {}, true},
      {TCameraSetting::Aperture, {8, {}}, {}, true},
      {TCameraSetting::Iso, {0, AutomaticValue}, {}, true},
  };
  EXPECT_EQ(ExposureSummary(settings), "manuál, B (bulb), f/8, automatické ISO");
  EXPECT_TRUE(IsoIsAutomatic(settings));
  settings[1].Value = {1.0 / 30, {}};
  settings[3].Value = {100, {}};
  EXPECT_EQ(ExposureSummary(settings), "manuál, 1/30 s, f/8, ISO 100");
  EXPECT_FALSE(IsoIsAutomatic(settings));
}

}  // namespace
