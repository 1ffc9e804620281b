#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/Application.h"
#include "tests/support/TestFiles.h"

namespace Station {

// Points HOME, XDG_CONFIG_HOME and XDG_STATE_HOME into a fresh folder, so that
// settings, libgphoto2's state and logs are the test's own, never the user's.
// The caller removes the folder it returns.
inline std::filesystem::path UseOwnHome(const std::string& Prefix) {
  const std::filesystem::path home = MakeTempDirectory(Prefix);
  setenv("HOME", home.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
  setenv("XDG_STATE_HOME", (home / ".local/state").c_str(), 1);
  return home;
}

// Runs every test of a program that loads libgphoto2, which keeps its state
// under $HOME: a home of its own, removed afterwards.
inline int RunTestsWithOwnHome(int& Argc, char** Argv, const std::string& Prefix) {
  const std::filesystem::path home = UseOwnHome(Prefix);
  TApplication app(Argc, Argv);
  ::testing::InitGoogleTest(&Argc, Argv);
  const int result = RUN_ALL_TESTS();
  std::filesystem::remove_all(home);
  return result;
}

}  // namespace Station
