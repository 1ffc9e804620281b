#include "check/LiveCheck.h"

#include <QImageReader>
#include <array>
#include <atomic>

#include "check/ScanPoints3d.h"

// What the check's thread knows of one scan; only that thread touches it, but for Dropped.
struct TScanCheck::TScan {
  explicit TScan(const TCheckRaster& Raster) : Decoder(Raster) {}
  TScanDecoder Decoder;
  QImage Dark, Lit;
  std::array<bool, 17> Seen{};
  bool Broken = false;
  std::string Problem;
  std::string Settings;
  std::vector<std::string> Changes;
  // A new scan began before this one's index was written: its work is not done.
  std::atomic<bool> Dropped{false};
  double HoldStill = 0;
  TCheckCalibration Calibration;
};

TScanCheck::TScanCheck(TReport Report) : Report(std::move(Report)), Worker([this] { Work(); }) {}

TScanCheck::~TScanCheck() {
  {
    std::lock_guard guard(Lock);
    Stop = true;
    Tasks.clear();
  }
  Wake.notify_all();
  Worker.join();
}

void TScanCheck::Work() {
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock guard(Lock);
      Wake.wait(guard, [this] { return Stop || !Tasks.empty(); });
      if (Stop) return;
      task = std::move(Tasks.front());
      Tasks.pop_front();
    }
    task();
  }
}

void TScanCheck::ScanStarted(const TCheckRaster& Raster, const std::string& Settings) {
  std::lock_guard guard(Lock);
  // Only the unfinished scan: a finished one's verdict may still be on its way.
  if (Current) Current->Dropped = true;
  Current = std::make_shared<TScan>(Raster);
  Current->Settings = Settings;
  Current->Calibration = Calibration;
}

void TScanCheck::SetCalibration(const TCheckCalibration& InForce) {
  std::lock_guard guard(Lock);
  Calibration = InForce;
}

void TScanCheck::SettingChanged(const std::string& Change) {
  std::lock_guard guard(Lock);
  if (!Current) return;
  Tasks.push_back([scan = Current, Change] { scan->Changes.push_back(Change); });
  Wake.notify_all();
}

void TScanCheck::HoldStill(double Seconds) {
  std::lock_guard guard(Lock);
  if (!Current) return;
  Tasks.push_back([scan = Current, Seconds] { scan->HoldStill = Seconds; });
  Wake.notify_all();
}

void TScanCheck::PhotoSaved(int Photo, const std::string& Path) {
  std::lock_guard guard(Lock);
  if (!Current || Photo < 0 || Photo > 16) return;
  Tasks.push_back([scan = Current, Photo, Path] {
    if (scan->Broken || scan->Dropped) return;
    QImageReader::setAllocationLimit(MaxPhotoMegabytes);
    QImageReader reader(QString::fromStdString(Path));
    const QImage image = reader.read();
    std::string problem;
    if (image.isNull()) {
      problem = "cannot be read: " + reader.errorString().toStdString();
    } else if (Photo == 0) {
      scan->Dark = image;
    } else if (Photo == 1 && scan->Dark.isNull()) {
      problem = "no photo of the dark field came before it";
    } else if (Photo == 1) {
      scan->Lit = image;
      if (!scan->Decoder.SetReferences(scan->Dark, scan->Lit, &problem)) scan->Broken = true;
      scan->Dark = scan->Lit = QImage();
    } else if (Photo == 2) {
      if (!scan->Decoder.SetAllPoints(image, &problem)) scan->Broken = true;
    } else if (!scan->Decoder.AddPlane(Photo - 2, image, &problem)) {
      scan->Broken = true;
    }
    if (!problem.empty()) {
      scan->Broken = true;
      scan->Problem = Path + ": " + problem;
    }
    scan->Seen[std::size_t(Photo)] = true;
  });
  Wake.notify_all();
}

void TScanCheck::IndexWritten(const std::string& Dir) {
  std::lock_guard guard(Lock);
  if (!Current) return;
  Tasks.push_back([this, scan = std::move(Current), Dir] {
    std::string line;
    // The report beside this index must be this scan's or none.
    if (scan->Broken || !scan->Seen[0] || !scan->Seen[1] || !scan->Seen[2]) {
      RemoveCheckReport(Dir);
      RemoveScanPoints3d(Dir);
    }
    if (scan->Broken) {
      line = "Kontrola nebyla možná: " + scan->Problem;
    } else if (!scan->Seen[0] || !scan->Seen[1] || !scan->Seen[2]) {
      line = "Kontrola nebyla možná: chybí snímek tmavého pole, světlého pole nebo všech bodů";
    } else {
      TCheckResult result = scan->Decoder.Finish();
      NoteCameraSettings(result, scan->Settings, scan->Changes);
      result.HoldStillSeconds = scan->HoldStill;
      const TCheckCalibration& calibration = scan->Calibration;
      result.Calibration = calibration.Line;
      // "Kalibrace: žádná" has no photo size to compare.
      if (calibration.PhotoWidth > 0 && (calibration.PhotoWidth != result.PhotoWidth ||
                                         calibration.PhotoHeight != result.PhotoHeight))
        result.Calibration += "; neplatí pro tyto snímky: mají " +
                              std::to_string(result.PhotoWidth) + " x " +
                              std::to_string(result.PhotoHeight) + " pixelů, kalibrace " +
                              std::to_string(calibration.PhotoWidth) + " x " +
                              std::to_string(calibration.PhotoHeight);
      line = result.Verdict();
      std::string error;
      const std::string points3d = PlacePoints(Dir, scan->Calibration.File, result);
      if (!WriteCheckReport(Dir, result, &error)) line += " (zpráva neuložena: " + error + ")";
      if (!points3d.empty()) line += "; " + points3d;
      std::lock_guard hold(Lock);
      Last = std::move(result);
    }
    Report(Dir, line);
  });
  Wake.notify_all();
}

std::string TScanCheck::PlacePoints(const std::string& Dir, const std::string& CalibrationFile,
                                    TCheckResult& Result) {
  if (CalibrationFile.empty()) {
    RemoveScanPoints3d(Dir);
    if (CalibrationMissingSaid) return {};
    CalibrationMissingSaid = true;
    // Before the verdict, which stays the scan's last line.
    Report(Dir, "3D body potřebují kalibraci: bez ní se sken jen kontroluje");
    return {};
  }
  std::string error;
  const auto calibration = ReadCalibrationFile(CalibrationFile, &error);
  const auto cloud =
      calibration ? PlaceScanPoints(Result, *calibration, CalibrationFile, &error) : std::nullopt;
  if (!cloud || !WriteScanPoints3d(Dir, *cloud, CalibrationFile, &error)) {
    RemoveScanPoints3d(Dir);
    return "3D body nespočítány: " + error;
  }
  Result.Points3d = Points3dText(Result, *cloud);
  return Result.Points3d;
}

std::optional<TCheckResult> TScanCheck::LastResult() const {
  std::lock_guard guard(Lock);
  return Last;
}
