#include "check/ScanCheck.h"

#include <QFile>
#include <QImageReader>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <numeric>
#include <thread>

#include "check/CheckGeometry.h"

using namespace scan_check;

std::optional<std::vector<std::string>> ReadScanIndex(const std::string& Dir, std::string* Error) {
  const QString path = QString::fromStdString(Dir + "/corvalet.sbf");
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    if (Error)
      *Error =
          path.toStdString() + ": cannot read the scan index: " + file.errorString().toStdString();
    return std::nullopt;
  }
  // An index is a few hundred bytes; anything far larger is not one.
  const QByteArray text = file.read(1 << 20);
  std::vector<std::string> lines;
  for (const QByteArray& line : text.split('\n')) {
    QByteArray trimmed = line;
    if (trimmed.endsWith('\r')) trimmed.chop(1);
    lines.push_back(trimmed.toStdString());
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  if (lines.size() < 2 || lines[1] != std::string(80, '-')) {
    if (Error) *Error = path.toStdString() + ": not a scan index (no rule of hyphens on line 2)";
    return std::nullopt;
  }
  std::vector<std::string> names(lines.begin() + 2, lines.end());
  for (const std::string& name : names)
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of("/\\") != std::string::npos) {
      if (Error) *Error = path.toStdString() + ": \"" + name + "\" is not a photo's file name";
      return std::nullopt;
    }
  if (names.size() != PhotoCount) {
    if (Error)
      *Error =
          path.toStdString() + ": lists " + std::to_string(names.size()) + " photos, a scan has 17";
    return std::nullopt;
  }
  return names;
}

std::optional<TCheckResult> CheckScanFolder(const std::string& Dir, const TCheckRaster& Raster,
                                            std::string* Error, int Threads) {
  const auto names = ReadScanIndex(Dir, Error);
  if (!names) return std::nullopt;
  std::vector<std::string> paths;
  for (const std::string& name : *names) paths.push_back(Dir + "/" + name);
  std::vector<std::string> errors(PhotoCount);
  auto load = [&](int Photo) {
    QImageReader::setAllocationLimit(MaxPhotoMegabytes);
    QImageReader reader(QString::fromStdString(paths[std::size_t(Photo)]));
    const QSize size = reader.size();
    if (size.isValid() && (size.width() > MaxSide || size.height() > MaxSide)) {
      errors[std::size_t(Photo)] =
          "is " + SizeText(size.width(), size.height()) + ", more than 8192 pixels a side";
      return QImage();
    }
    QImage image = reader.read();
    if (image.isNull())
      errors[std::size_t(Photo)] = "cannot be read: " + reader.errorString().toStdString();
    return image;
  };
  // Runs Work(i) for each i in Items on up to Threads threads.
  auto parallel = [&](const std::vector<int>& Items, const auto& Work) {
    std::atomic<std::size_t> next{0};
    auto worker = [&] {
      for (std::size_t i; (i = next++) < Items.size();) Work(Items[i]);
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < std::max(1, Threads); ++t) pool.emplace_back(worker);
    worker();
    for (std::thread& thread : pool) thread.join();
  };
  auto firstError = [&]() -> bool {
    for (int i = 0; i < PhotoCount; ++i)
      if (!errors[std::size_t(i)].empty()) {
        if (Error) *Error = paths[std::size_t(i)] + ": " + errors[std::size_t(i)];
        return true;
      }
    return false;
  };

  // Photos are decoded in the index's order; the thread that completes the first
  // three sets the decoder up while the other already decodes the next photo.
  TScanDecoder decoder(Raster);
  std::mutex lock;
  std::condition_variable ready;
  std::vector<QImage> first(3);
  int firstDone = 0;
  bool setUp = false, failed = false;
  std::vector<int> photos(PhotoCount);
  std::iota(photos.begin(), photos.end(), 0);
  parallel(photos, [&](int i) {
    QImage image = load(i);
    std::unique_lock guard(lock);
    if (image.isNull()) failed = true;
    if (i < 3) {
      first[std::size_t(i)] = std::move(image);
      if (++firstDone < 3) return;
      if (!failed) {
        guard.unlock();
        std::string problem;
        int culprit = -1;
        if (!decoder.SetReferences(first[0], first[1], &problem))
          culprit = 1;
        else if (!decoder.SetAllPoints(first[2], &problem))
          culprit = 2;
        first.clear();
        guard.lock();
        if (culprit >= 0) errors[std::size_t(culprit)] = problem, failed = true;
      }
      setUp = true;
      ready.notify_all();
      return;
    }
    ready.wait(guard, [&] { return setUp; });
    if (failed) return;
    guard.unlock();
    std::string problem;
    if (!decoder.AddPlane(i - 2, image, &problem)) {
      guard.lock();
      errors[std::size_t(i)] = problem;
    }
  });
  if (firstError()) return std::nullopt;
  return decoder.Finish();
}
