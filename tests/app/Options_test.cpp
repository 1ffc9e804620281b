#include "app/Options.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

namespace {

TCommandLine Parse(QStringList Arguments) {
  Arguments.prepend("corvaletscan");
  return ParseCommandLine(Arguments);
}

TEST(Options, PhotoTimeoutInSecondsDefaultsTo30AndZeroTurnsItOff) {
  EXPECT_EQ(Parse({}).Options->PhotoTimeout, 30000u);
  EXPECT_EQ(Parse({"--photo-timeout", "0"}).Options->PhotoTimeout, 0u);
  EXPECT_EQ(Parse({"--photo-timeout=2.5"}).Options->PhotoTimeout, 2500u);
  // A tiny positive limit stays a limit.
  EXPECT_EQ(Parse({"--photo-timeout", "0.0001"}).Options->PhotoTimeout, 1u);
}

TEST(Options, SettleInMillisecondsDefaultsTo300) {
  EXPECT_EQ(Parse({}).Options->Settle, 300);
  EXPECT_EQ(Parse({"--settle", "0"}).Options->Settle, 0);
  EXPECT_EQ(Parse({"--settle=450"}).Options->Settle, 450);
}

TEST(Options, DefaultsStartsFromTheDefaults) {
  EXPECT_FALSE(Parse({}).Options->Defaults);
  EXPECT_TRUE(Parse({"--defaults"}).Options->Defaults);
  EXPECT_FALSE(Parse({"--defaults=yes"}).Options);
}

TEST(Options, BadValuesAndUnknownArgumentsAreRefusedWithAReason) {
  for (const QStringList& arguments :
       {QStringList{"--photo-timeout", "abc"}, QStringList{"--photo-timeout=-1"},
        QStringList{"--photo-timeout", "nan"}, QStringList{"--photo-timeout", "86401"},
        QStringList{"--photo-timeout"}, QStringList{"--settle", "0.5"}, QStringList{"--settle=-1"},
        QStringList{"--settle", "60001"}, QStringList{"--bogus"}, QStringList{"extra"}}) {
    const TCommandLine result = Parse(arguments);
    const std::string shown = arguments.join(' ').toStdString();
    EXPECT_FALSE(result.Options) << shown;
    EXPECT_EQ(result.ExitCode, 2) << shown;
    EXPECT_EQ(result.Text.rfind("corvaletscan: ", 0), 0u) << result.Text;
    EXPECT_NE(result.Text.find("--help"), std::string::npos) << result.Text;
  }
  EXPECT_NE(Parse({"--photo-timeout", "abc"}).Text.find("'abc'"), std::string::npos);
}

TEST(Options, HelpAndVersionPrintAndExitZero) {
  const TCommandLine help = Parse({"--help"});
  EXPECT_FALSE(help.Options);
  EXPECT_EQ(help.ExitCode, 0);
  EXPECT_NE(help.Text.find("Usage: corvaletscan"), std::string::npos) << help.Text;
  EXPECT_NE(help.Text.find("--photo-timeout <SECONDS>"), std::string::npos);
  QCoreApplication::setApplicationName("corvaletscan");
  QCoreApplication::setApplicationVersion("1.2");
  const TCommandLine version = Parse({"--version"});
  EXPECT_EQ(version.ExitCode, 0);
  EXPECT_EQ(version.Text, "corvaletscan 1.2\n");
}

}  // namespace
