// corvalet-calibrate as the operator runs it: bad input refused with a clear
// message and exit 2, before anything is written.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <condition_variable>
#include <mutex>
#include <sstream>

#include "check/LiveCheck.h"
#include "geometry/CalibrateCommand.h"
#include "tests/support/SimScan.h"
#include "tests/support/TestFiles.h"

namespace {

struct TRun {
  int Status;
  std::string Out, Err;
};

TRun Calibrate(const QStringList& Arguments) {
  std::ostringstream out, err;
  const int status = RunCalibrateCommand(QStringList{"corvalet-calibrate"} + Arguments, out, err);
  return {status, out.str(), err.str()};
}

}  // namespace

TEST(CalibrateCommand, BadInputGetsExitTwoAndSaysWhy) {
  const auto dir = Station::MakeTempDirectory("corvalet-calibrate");
  Station::TRemoveAtEnd remove{{dir}};
  const QString empty = QString::fromStdString(dir.string());
  const QString out = QString::fromStdString((dir / "c.yml").string());

  TRun run = Calibrate({"--help"});
  EXPECT_EQ(run.Status, 0);
  EXPECT_NE(run.Out.find("--board <COLUMNSxROWS:SQUARE_MM>"), std::string::npos) << run.Out;
  run = Calibrate({"--version"});
  EXPECT_EQ(run.Status, 0);
  EXPECT_EQ(run.Out.rfind("corvalet-calibrate ", 0), 0u) << run.Out;

  struct TCase {
    QStringList Arguments;
    std::string Message;
  };
  const TCase cases[] = {
      {{empty}, "--board COLUMNSxROWS:SQUARE_MM is needed"},
      {{"--board", "9x6", empty}, "--board 9x6: expected COLUMNSxROWS:SQUARE_MM"},
      {{"--board", "9x6:25"}, "expected the scan folders"},
      {{"--board", "9x6:25", "--projector", "1016", empty}, "--projector 1016: expected"},
      {{"--board", "9x6:25", "--min-points", "3", empty}, "--min-points 3: expected"},
      {{"--board", "9x6:25", "--inlier-share", "1.5", empty}, "--inlier-share 1.5: expected"},
      {{"--board", "9x6:25", "--out", out, empty + "/none"}, "/none: not a folder"},
      {{"--board", "9x6:25", "--out", out, empty}, "/corvalet.sbf: cannot read the scan index"},
      {{"--board", "9x6:25", "--out", empty, empty}, "is a folder, expected a file name"},
      {{"--bord", "9x6:25", empty}, "Unknown option 'bord'"},
  };
  for (const TCase& c : cases) {
    run = Calibrate({c.Arguments});
    EXPECT_EQ(run.Status, 2) << c.Message;
    EXPECT_NE(run.Err.find(c.Message), std::string::npos) << run.Err;
  }
  EXPECT_EQ(Station::FilesIn(dir), std::vector<std::string>{});
}

// Each scan's report names the calibration in force, and says when its photos
// are not the size the calibration was made for.
TEST(ScanReport, NamesTheCalibrationInForce) {
  const auto dir = Station::MakeTempDirectory("corvalet-calibration-report");
  Station::TRemoveAtEnd remove{{dir}};
  const TSimScan scan = WriteSimScan(dir.string(), TSimScanSetup{});
  std::mutex lock;
  std::condition_variable told;
  int reports = 0;
  // Verdicts only: without a calibration file the first scan also says that 3D points need one.
  TScanCheck check([&](const std::string&, const std::string& Line) {
    if (Line.rfind("Kontrola", 0) != 0) return;
    std::lock_guard guard(lock);
    ++reports;
    told.notify_all();
  });
  const std::string line = "Kalibrace: /tmp/k.yml (kamera 0,04 px)";
  for (auto [width, expected] :
       {std::pair{2048, line},
        std::pair{4000, line + "; neplatí pro tyto "
                               "snímky: mají 2048 x 1536 pixelů, kalibrace 4000 x 1536"}}) {
    check.SetCalibration({line, width, 1536, ""});
    check.ScanStarted(TCheckRaster{});
    for (int photo = 0; photo < 17; ++photo)
      check.PhotoSaved(photo, (dir / scan.Names[std::size_t(photo)]).string());
    const int before = reports;
    check.IndexWritten(dir.string());
    std::unique_lock guard(lock);
    ASSERT_TRUE(told.wait_for(guard, std::chrono::seconds(120), [&] { return reports > before; }));
    const std::string report = Station::ReadFile(dir / "corvalet-check.txt");
    EXPECT_NE(report.find("\n" + expected + "\n"), std::string::npos) << report;
  }
}
