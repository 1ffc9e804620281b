#pragma once

// Reads every point's number back from the 17 photos of a scan and judges
// whether the scan can be used: which points were read, which not, and why.

#include <QImage>
#include <QPointF>
#include <QString>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The raster in force during a scan, as the raster generator holds it after
// correcting the operator's values: offsets, counts, point size and spacing in
// projector pixels.
struct TCheckRaster {
  int OffsetX = 10, OffsetY = 10;  // where the top-left point lies
  int Rows = 80, Columns = 120;
  int Size = 3, Spacing = 8;

  int Count() const { return Rows * Columns; }
  // Empty when the raster can be checked, else what is wrong with it.
  std::string Problem() const;
  // "10,10,80,120,3,8": the order in which the settings dialog passes them on.
  std::string Text() const;
  static std::optional<TCheckRaster> Parse(const std::string& Text);
};

// The 14-digit code of point Index as a number, bit 13 first: Index itself below
// 16384 and 0 from there on, as the point code table writes it.
int CheckCodeOf(int Index);

// Why points were not read, in the operator's words.
enum class TCheckCause {
  LowContrast,  // too little light on the points, or ambient light drowns them
  OutsideView,  // points fall outside the camera's frame
  Moved,        // the camera or the object moved between photos
  OutOfOrder,   // photos out of order, or a pattern missing
  Separation,   // points too small, too close or too blurred to be told apart
};
std::string CheckCauseText(TCheckCause Cause);

enum class TPointState : std::uint8_t { Unread, Read, Weak, Inconsistent };

struct TCheckResult {
  TCheckRaster Raster;
  int PhotoWidth = 0, PhotoHeight = 0;
  // Points of the raster, and how many of them were read and not read.
  int Expected = 0, Read = 0, Unread = 0;
  // Numbers that more than one point of the photo spelled.
  int Duplicates = 0;
  // Points of the photo whose number is not in the raster.
  int OutOfRaster = 0;
  // Points whose number disagrees with where their neighbours lie.
  int Inconsistent = 0;
  // Points read with too little contrast margin to be trusted.
  int Weak = 0;
  // Points of the photo cut by its edge.
  int Cut = 0;
  // Points found in the all-points photo.
  int Blobs = 0;
  // Each likely cause with the number of unread points it explains (0 for a
  // cause that concerns the whole scan); the largest first.
  std::vector<std::pair<TCheckCause, int>> Causes;
  // The first photo (0-16) from which the picture moved, -1 when none moved.
  int MovedFrom = -1;
  // Photos (0-16) that do not show the pattern their place in the index calls for.
  std::vector<int> MisplacedPhotos;
  // Per point, Index - 1: state, where it lies or should lie in the photo (NaN
  // when unknown), and the smallest contrast margin of its readings (0..1).
  std::vector<TPointState> States;
  std::vector<QPointF> Positions;
  std::vector<float> Margins;
  // The all-points photo in grey, at most 2048 pixels a side, and its scale.
  QImage Preview;
  double PreviewScale = 1.0;

  bool AllRead() const { return Expected > 0 && Read == Expected; }
  bool HasCause(TCheckCause Cause) const;
  std::vector<int> UnreadNumbers() const;
  // "Kontrola: 9600/9600 bodů čitelných", with the likely causes when some are not.
  std::string Verdict() const;
};

// Decodes one scan photo by photo, in the index's order: SetReferences(dark,
// lit), then SetAllPoints, then the 14 bit-planes in any order (AddPlane may run
// on several threads at once, each with its own plane), then Finish.
class TScanDecoder {
 public:
  // Lit minus dark, in grey levels, below which a pixel is not read.
  static constexpr int MinContrast = 16;
  // Smallest share of a point's half contrast by which each reading must clear
  // the threshold for the point to count as read.
  static constexpr float MinMargin = 0.25f;

  explicit TScanDecoder(const TCheckRaster& Raster) : Raster(Raster) {}

  // False with Error set when the two photos differ in size or are empty.
  bool SetReferences(const QImage& Dark, const QImage& Lit, std::string* Error);
  bool SetAllPoints(const QImage& Points, std::string* Error);
  // Plane K from 1 (the 8192 bit) to 14 (the 1 bit).
  bool AddPlane(int K, const QImage& Plane, std::string* Error);
  TCheckResult Finish();

  int Width() const { return FWidth; }
  int Height() const { return FHeight; }

 private:
  struct TRun {
    int Y, X0, X1;  // inclusive
  };
  struct TBlob {
    int FirstRun = 0, RunCount = 0;
    int Area = 0;
    double SumX = 0, SumY = 0, Weight = 0;
    float Signal = 0;  // mean normalised signal in the all-points photo
    bool TouchesEdge = false;
  };
  struct TPlaneStats {
    std::vector<std::uint32_t> Votes;  // per blob: pixels above the threshold
    std::vector<float> Signal;         // per blob: mean normalised signal
    double Stray = 0;                  // share of lit pixels outside every point
    bool Done = false;
  };

  bool Extract(const QImage& Photo, std::vector<std::uint8_t>& Out, std::string* Error) const;
  void FindBlobs(const std::vector<std::uint8_t>& Points);

  TCheckRaster Raster;
  int FWidth = 0, FHeight = 0;
  int Channel = 1;  // 0 red, 1 green, 2 blue: where the points show best
  std::vector<std::uint8_t> Mid, Contrast, Near;  // Near: within a pixel of a point
  double MeanContrast = 0;
  double ValidShare = 0;
  double DarkMean = 0, LitMean = 0;
  QImage Preview;
  double PreviewScale = 1.0;
  std::vector<TRun> Runs;
  std::vector<TBlob> Blobs;
  std::array<TPlaneStats, 15> Planes;  // 1..14
};

// Memory for one decoded photo: 8192 x 8192 pixels of 4 bytes.
constexpr int MaxPhotoMegabytes = 260;

// Checks the scan in directory Dir: reads "corvalet.sbf", decodes its 17 photos
// on Threads worker threads and returns the result, or nullopt with Error
// naming the file and what is wrong with it.
std::optional<TCheckResult> CheckScanFolder(const std::string& Dir, const TCheckRaster& Raster,
                                            std::string* Error, int Threads = 2);

// The raster recorded in Dir's report, when there is one.
std::optional<TCheckRaster> RecordedRaster(const std::string& Dir);

// Writes "corvalet-check.txt" and "corvalet-check.png" into Dir. False with
// Error naming the file when one cannot be written.
bool WriteCheckReport(const std::string& Dir, const TCheckResult& Result, std::string* Error);
// Removes Dir's report and picture, so that no older scan's report stands beside a new index.
void RemoveCheckReport(const std::string& Dir);

// The photo names that the index in Dir lists; nullopt with Error when it
// cannot be read.
std::optional<std::vector<std::string>> ReadScanIndex(const std::string& Dir, std::string* Error);
