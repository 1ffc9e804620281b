#include "sdk/sim/SimConfig.h"

#include <gtest/gtest.h>

TEST(SimConfig, ReadsEveryItem) {
  std::string error;
  const auto config = ParseSimConfig(
      "cameras=3, legacy=1,latency=25,size=640x480,seed=0x10,"
      "fail=EdsOpenSession:2:0x81,fail=EdsDownload:always:36,swallow=3,swallow=5,",
      &error);
  ASSERT_TRUE(config) << error;
  EXPECT_EQ(config->Cameras, 3);
  EXPECT_TRUE(config->Legacy);
  EXPECT_EQ(config->LatencyMs, 25);
  EXPECT_EQ(config->Width, 640);
  EXPECT_EQ(config->Height, 480);
  EXPECT_EQ(config->Seed, 16u);

  EXPECT_EQ(config->FailureFor("EdsOpenSession", 1), 0u);
  EXPECT_EQ(config->FailureFor("EdsOpenSession", 2), 0x81u);
  EXPECT_EQ(config->FailureFor("EdsOpenSession", 3), 0u);
  EXPECT_EQ(config->FailureFor("EdsDownload", 1), 0x24u);
  EXPECT_EQ(config->FailureFor("EdsDownload", 1000), 0x24u);
  EXPECT_EQ(config->FailureFor("EdsCloseSession", 2), 0u);

  EXPECT_FALSE(config->IsSwallowed(1));
  EXPECT_TRUE(config->IsSwallowed(3));
  EXPECT_TRUE(config->IsSwallowed(5));
  EXPECT_TRUE(config->Optics.Default());
  EXPECT_EQ(config->BandwidthMBps, 0);
  EXPECT_EQ(config->PhotoBytes, 0);

  // The camera's own time by its name, the link's speed and the photo's size.
  const auto timed = ParseSimConfig("camera=150,bandwidth=0.5,bytes=10000000", &error);
  ASSERT_TRUE(timed) << error;
  EXPECT_EQ(timed->LatencyMs, 150);
  EXPECT_DOUBLE_EQ(timed->BandwidthMBps, 0.5);
  EXPECT_EQ(timed->PhotoBytes, 10000000);
}

TEST(SimConfig, ReadsTheHarderConditions) {
  std::string error;
  const auto config = ParseSimConfig(
      "blur=2.5,noise=6,ambient=40,exposure=0.5,glare=0.6:0:1:0.4,zoom=1.3,nudge=3:-2:10", &error);
  ASSERT_TRUE(config) << error;
  const TSimOptics& optics = config->Optics;
  EXPECT_EQ(optics.Blur, 2.5);
  EXPECT_EQ(optics.Noise, 6);
  EXPECT_EQ(optics.Ambient, 40);
  EXPECT_EQ(optics.Exposure, 0.5);
  EXPECT_EQ(optics.Glare[0], 0.6);
  EXPECT_EQ(optics.Glare[3], 0.4);
  EXPECT_EQ(optics.Zoom, 1.3);
  EXPECT_EQ(optics.NudgeX, 3);
  EXPECT_EQ(optics.NudgeY, -2);
  EXPECT_EQ(optics.NudgeFrom, 10u);
  EXPECT_FALSE(optics.Default());
}

TEST(SimConfig, ReadsTheSceneAndWhereTheTruthGoes) {
  const auto wall = ParseSimConfig("", nullptr);
  EXPECT_EQ(wall->Stage, TSimStage{});
  EXPECT_EQ(wall->Stage.Scene, TSimSceneKind::Wall);
  EXPECT_TRUE(wall->TruthDir.empty());
  std::string error;
  const auto board = ParseSimConfig("scene=board,board=7x5:30.5,pose=4,truth=/tmp/t", &error);
  ASSERT_TRUE(board) << error;
  EXPECT_EQ(board->Stage.Scene, TSimSceneKind::Board);
  EXPECT_EQ(board->Stage.Board, (TSimBoardSpec{7, 5, 30.5}));
  EXPECT_EQ(board->Stage.Pose, 3);
  EXPECT_EQ(board->TruthDir, "/tmp/t");
  EXPECT_EQ(ParseSimConfig("scene=sphere", nullptr)->Stage.Scene, TSimSceneKind::Sphere);
  EXPECT_EQ(ParseSimConfig("scene=board", nullptr)->Stage.Board, (TSimBoardSpec{9, 6, 25}));
  // An unknown scene is refused with the list of scenes.
  EXPECT_FALSE(ParseSimConfig("scene=cube", &error));
  EXPECT_NE(error.find("wall, board, sphere"), std::string::npos) << error;
}

TEST(SimConfig, ReadsTheCameraSettingsAndTheTurnsOfItsDials) {
  std::string error;
  const auto config =
      ParseSimConfig("mode=aperture,shutter=1/125,aperture=5.6,iso=400,turn=5:shutter:0.5", &error);
  ASSERT_TRUE(config) << error;
  EXPECT_EQ(config->Settings[TCameraSetting::ExposureMode].Name, "aperture priority");
  EXPECT_DOUBLE_EQ(config->Settings[TCameraSetting::ShutterSpeed].Number, 1.0 / 125);
  EXPECT_DOUBLE_EQ(config->Settings[TCameraSetting::Aperture].Number, 5.6);
  EXPECT_DOUBLE_EQ(config->Settings[TCameraSetting::Iso].Number, 400);
  ASSERT_EQ(config->Turns.size(), 1u);
  EXPECT_EQ(config->Turns[0].Shot, 5u);
  EXPECT_EQ(config->Turns[0].Setting, TCameraSetting::ShutterSpeed);
  EXPECT_DOUBLE_EQ(config->Turns[0].Value.Number, 0.5);
  // Unconfigured settings start as a tripod camera is usually set up.
  EXPECT_EQ(ParseSimConfig("", nullptr)->Settings, TSimSettings());
}

TEST(SimConfig, RejectsAMalformedItemByName) {
  const char* bad[] = {"cameras=two",
                       "cameras=17",
                       "legacy=yes",
                       "latency=-5",
                       "camera=soon",
                       "bandwidth=0",
                       "bandwidth=-2",
                       "bytes=100",
                       "size=640",
                       "size=640x8",
                       "seed=0x1FFFFFFFF",
                       "fail=EdsFocus:1:0x81",
                       "fail=EdsOpenSession:0:0x81",
                       "fail=EdsOpenSession:1:0",
                       "fail=EdsOpenSession:1",
                       "swallow=0",
                       "blur=-1",
                       "exposure=0",
                       "zoom=0.5",
                       "glare=0:0:1",
                       "nudge=1.5:0:3",
                       "nudge=1:1:0",
                       "shutter=fast",
                       "aperture=7",
                       "iso=150",
                       "mode=sports",
                       "turn=0:iso:200",
                       "turn=3:zoom:2",
                       "turn=3:shutter:1/7",
                       "scene=Wall",
                       "board=9x6",
                       "board=1x6:25",
                       "board=9x6:0",
                       "pose=0",
                       "pose=99",
                       "truth=",
                       "cameras"};
  for (const char* item : bad) {
    std::string error;
    EXPECT_FALSE(ParseSimConfig(std::string("latency=10,") + item, &error)) << item;
    EXPECT_NE(error.find(item), std::string::npos) << error;
  }
}
