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
}

TEST(SimConfig, RejectsAMalformedItemByName) {
  const char* bad[] = {"cameras=two",
                       "cameras=17",
                       "legacy=yes",
                       "latency=-5",
                       "size=640",
                       "size=640x8",
                       "seed=0x1FFFFFFFF",
                       "fail=EdsFocus:1:0x81",
                       "fail=EdsOpenSession:0:0x81",
                       "fail=EdsOpenSession:1:0",
                       "fail=EdsOpenSession:1",
                       "swallow=0",
                       "shutter=fast",
                       "cameras"};
  for (const char* item : bad) {
    std::string error;
    EXPECT_FALSE(ParseSimConfig(std::string("latency=10,") + item, &error)) << item;
    EXPECT_NE(error.find(item), std::string::npos) << error;
  }
}
