#include <gtest/gtest.h>

#include "platform/Application.h"

int main(int argc, char** argv) {
  TApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
