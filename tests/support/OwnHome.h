#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/Application.h"
#include "tests/support/TestFiles.h"

namespace Station {

// Runs every test of a program that loads libgphoto2, which keeps its state
// under $HOME: HOME is a fresh folder, removed afterwards.
inline int RunTestsWithOwnHome(int& Argc, char** Argv, const std::string& Prefix) {
  const std::filesystem::path home = MakeTempDirectory(Prefix);
  setenv("HOME", home.c_str(), 1);
  TApplication app(Argc, Argv);
  ::testing::InitGoogleTest(&Argc, Argv);
  const int result = RUN_ALL_TESTS();
  std::filesystem::remove_all(home);
  return result;
}

}  // namespace Station
