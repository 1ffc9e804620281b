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
  LowContrast,     // too little light on the points, or ambient light drowns them
  OutsideView,     // points fall outside the camera's frame
  Moved,           // the camera or the object moved between photos
  OutOfOrder,      // photos out of order, or a pattern missing
  Separation,      // points too small, too close or too blurred to be told apart
  SettingChanged,  // the camera's exposure or another setting changed during the scan
};
std::string CheckCauseText(TCheckCause Cause);

// Read: its number was read; Weak: a reading came too close to the threshold;
// Inconsistent: spelled, but not where its neighbours lie; Cut: the photo's edge
// cuts it; Outside: it lies outside the photo; Unread: none of these.
enum class TPointState : std::uint8_t { Unread, Read, Weak, Inconsistent, Cut, Outside };
// "read", "unread", ...: as the points file writes it.
const char* PointStateName(TPointState State);

// A cause with the number of unread points it explains (0 for one that concerns
// the whole scan) and the measured figure behind it, in the operator's words.
struct TCauseFinding {
  TCheckCause Cause;
  int Points = 0;
  std::string Figure;
};

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
  // Each likely cause, only where measured evidence shows it; the largest first.
  std::vector<TCauseFinding> Causes;
  // The camera's settings at the scan's start and each change during it, as the log
  // gives them; empty when the camera reports none (or the check ran afterwards).
  std::string CameraSettings;
  std::vector<std::string> SettingChanges;
  // How long the object had to keep still, from the first pattern to the last
  // photo taken; 0 when unknown.
  double HoldStillSeconds = 0;
  // The calibration in force during the scan, as the report names it; empty when none.
  std::string Calibration;
  // Sensor noise in the dark field and the points' median peak above it, in grey levels.
  double Noise = 0, PointLight = 0;
  // The first photo (0-16) from which the picture moved, -1 when none moved.
  int MovedFrom = -1;
  // Per bit-plane (photos 3-16): the share of its lit pixels that lie beside all the
  // light of the all-points photo (NaN for a plane that never came); above a fifth it moved.
  std::vector<double> StrayShares;
  // Photos (0-16) that do not show the pattern their place in the index calls for.
  std::vector<int> MisplacedPhotos;
  // Per point, Index - 1: state, where it lies or should lie in the photo (NaN
  // when unknown; pixel (c, r) covers [c, c+1) x [r, r+1)), whether that place
  // was measured in the photo rather than placed by the neighbours, and the
  // smallest contrast margin of its readings (0..1).
  std::vector<TPointState> States;
  std::vector<QPointF> Positions;
  std::vector<char> Found;
  std::vector<float> Margins;
  // Per point: its highest level in the all-points photo above the dark field (0-255);
  // 0 where it was not found.
  std::vector<std::uint8_t> Peaks;
  // Per point: 1 where a shadow's edge may cut its light (the lit field falls dark
  // within its reach): its place in the photo may be that of the part the camera
  // sees lit, not its centre's, so it is not placed in space.
  std::vector<char> PartlyLit;
  // The read points in space, in one line ("3D: ..."); empty without a calibration.
  std::string Points3d;
  // The all-points photo in grey, at most 2048 pixels a side, and its scale.
  QImage Preview;
  double PreviewScale = 1.0;

  bool AllRead() const { return Expected > 0 && Read == Expected; }
  bool HasCause(TCheckCause Cause) const;
  std::vector<int> UnreadNumbers() const;
  // "Kontrola: 9600/9600 bodů čitelných", with the likely causes when some are not.
  std::string Verdict() const;
};

struct TAimResult;

// Decodes one scan photo by photo, in the index's order: SetReferences(dark,
// lit), then SetAllPoints, then the 14 bit-planes in any order (AddPlane may run
// on several threads at once, each with its own plane), then Finish.
//
// Each point is judged against its own levels: the points are the bright spots
// of the all-points photo over the dark field, and a bit-plane lights a point when
// the point's light in it comes to more than half its light in the all-points
// photo, weighed pixel by pixel by that light.
class TScanDecoder {
 public:
  // Lit minus dark, in grey levels, below which a pixel is not read.
  static constexpr int MinContrast = 16;
  // Smallest share of a point's half light by which each reading must clear
  // the threshold for the point to count as read.
  static constexpr float MinMargin = 0.25f;
  // A point's pixels are those above this share of the points' median peak: high
  // enough that points half merged by blur still fall apart.
  static constexpr double CoreShare = 0.7;
  // The same for points merged at that share, cut a second time.
  static constexpr double RaisedShare = 0.85;

  explicit TScanDecoder(const TCheckRaster& Raster) : Raster(Raster) {}

  // False with Error set when the two photos differ in size or are empty.
  bool SetReferences(const QImage& Dark, const QImage& Lit, std::string* Error);
  bool SetAllPoints(const QImage& Points, std::string* Error);
  // Plane K from 1 (the 8192 bit) to 14 (the 1 bit).
  bool AddPlane(int K, const QImage& Plane, std::string* Error);
  TCheckResult Finish();

  // For aiming, without the lit field: the dark field, then the all-points photo,
  // each pixel's field contrast taken from the brightest point light about it.
  bool SetDarkAndPoints(const QImage& Dark, const QImage& Points, std::string* Error);
  // The raster's points found in the all-points photo, matched to rows and
  // columns by their places alone.
  TAimResult Aim() const;

  int Width() const { return FWidth; }
  int Height() const { return FHeight; }

 private:
  struct TRun {
    int Y, X0, X1;  // inclusive
  };
  struct TBlob {
    int FirstRun = 0, RunCount = 0;
    int Area = 0;
    int FirstPixel = 0;   // into Weights: the blob's pixels run by run
    double X = 0, Y = 0;  // refined centre
    double Light = 0;     // weighted light of the all-points photo over its pixels
    float Peak = 0;       // highest light above the dark field, grey levels
    double Sigma = 1;     // of the window that measures its centre
    double Sums[3] = {};  // the all-points photo's window sums about the centre
    int Peaks = 0;        // local maxima of the smoothed light among its pixels
    // Of those, the ones that a dip of the light of twice the noise parts from every
    // higher one (with more than four: as many as Peaks).
    int ApartPeaks = 0;
    bool TouchesEdge = false;
    bool Refined = false;
  };
  struct TPlaneStats {
    std::vector<float> Share;  // per blob: its light here over its all-points light
    // Per blob lit here: window sums of weight times the offset from its centre, and of weight.
    std::vector<std::array<float, 3>> Centre;
    double Stray = 0;  // share of lit pixels outside every point
    bool Done = false;
  };

  // Takes the dark field, the channel in which Bright stands out most from it and,
  // given BrightMeasure, the light in which centres are measured; Bright's pixels in
  // that channel go to BrightOut, in that light to BrightMeasure (left empty when it
  // is the channel).
  bool SetDark(const QImage& DarkPhoto, const QImage& Bright, std::vector<std::uint8_t>& BrightOut,
               std::vector<std::uint8_t>* BrightMeasure, std::string* Error);
  // The field's contrast and the dark field's statistics, from the lit field's pixels
  // (LitMeasure: in the centres' light, empty when it is Lit's channel).
  void SetContrast(const std::vector<std::uint8_t>& Lit,
                   const std::vector<std::uint8_t>& LitMeasure);
  // Photo's pixels in Channel to Out and, when Measure is given and centres are measured
  // in another light, in that light to Measure (else Measure is left empty).
  bool Extract(const QImage& Photo, std::vector<std::uint8_t>& Out, std::string* Error,
               std::vector<std::uint8_t>* Measure = nullptr) const;
  // Of a photo's two extracts, the one that centres are measured in.
  static const std::vector<std::uint8_t>& MeasureOf(const std::vector<std::uint8_t>& Out,
                                                    const std::vector<std::uint8_t>& Measure) {
    return Measure.empty() ? Out : Measure;
  }
  // Photo minus Minus (when given), summed over 3 x 3 pixels.
  void BoxSum(const std::vector<std::uint8_t>& Photo, const std::vector<std::uint8_t>* Minus,
              std::vector<std::int16_t>& Out) const;
  // Raised: pixels cut at RaisedShare instead, against the contrast it gives (0: not
  // raised; empty: none). Measure: the photo in the light that centres are measured in.
  void FindBlobs(const std::vector<std::uint8_t>& Points, const std::vector<std::uint8_t>& Raised,
                 const std::vector<std::uint8_t>& Measure);
  // The peaks (PeakPixels) among Blob's pixels.
  void BlobTops(const TBlob& Blob, std::vector<std::size_t>& Tops) const;
  // How many of Tops a dip of the smoothed light of two noise deviations parts from every
  // higher one (along the straight line between them).
  int ApartPeaks(std::vector<std::size_t> Tops) const;
  // Refines each blob's centre, its window no wider than a quarter of the way to the
  // nearest other point at least half as bright.
  void RefineAll(const std::vector<std::uint8_t>& Points);
  void Refine(TBlob& Blob, const std::vector<std::uint8_t>& Points, double MaxSigma) const;
  std::array<double, 3> WindowSums(const std::vector<std::uint8_t>& Photo, double X, double Y,
                                   double Sigma) const;
  // Blobs larger than this many pixels, with more than one peak, hold points that blur
  // merged: 2.5 times the median area of the blobs that the photo's edge does not cut.
  double MergedArea() const;
  // Cut: the photo's edge cuts it; Speck: too small or faint for a point, or no peak;
  // Merged: larger than Merged (MergedArea()) with more than one peak apart; Point: a point
  // the check can read.
  enum class TBlobKind { Cut, Speck, Merged, Point };
  TBlobKind KindOf(const TBlob& Blob, double Merged) const;
  // Gives each point not read the cause that the light at its place shows, if any, and
  // Result the causes with their figures; GlobalX, GlobalY: the steps to the next column and row.
  void NameCauses(TCheckResult& Result, const QPointF& GlobalX, const QPointF& GlobalY) const;
  // Level at Q in the all-points photo above the dark field, smoothed; NaN outside.
  double LightAt(const QPointF& Q) const;

  TCheckRaster Raster;
  int FWidth = 0, FHeight = 0;
  // 0 red, 1 green, 2 blue: where the points show best, and they are read; or Luma
  // (the brightness a JPEG keeps pixel for pixel): where their centres are measured.
  static constexpr int Luma = 3;
  int Channel = 1, MeasureChannel = 1;
  // Near: within a pixel of the all-points photo's light above the first cut.
  std::vector<std::uint8_t> Dark, Contrast, Near;
  // The dark field and the field's contrast in MeasureChannel, when it is not Channel.
  std::vector<std::uint8_t> MeasureDark, MeasureContrast;
  std::vector<std::int16_t> Smooth;  // the all-points photo over the dark, by BoxSum
  // The room's light under each pixel, in MeasureChannel (see SetContrast).
  std::vector<float> DarkMeanLevel;
  double ValidShare = 0;
  double DarkMean = 0, LitMean = 0;
  double Noise = 0;  // grey levels, from the dark field
  // Per tile of Tile x Tile pixels: the share of the field contrast that makes a point pixel.
  static constexpr int Tile = 64;
  int TileColumns = 1;
  std::vector<double> TileThreshold;
  // Per pixel: the share of the field's contrast at which the peak nearby is cut, when
  // that peak is dimmer than those of its tile; infinity elsewhere.
  std::vector<float> PeakThreshold;
  std::size_t LitPixels = 0;            // pixels the all-points photo lights well above the noise
  std::vector<std::size_t> PeakPixels;  // its local maxima well above the noise, in raster order
  QImage Preview;
  double PreviewScale = 1.0;
  std::vector<TRun> Runs;
  std::vector<TBlob> Blobs;
  std::vector<float> Weights;
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

// Records the camera's settings in Result; a change during the scan is named as a
// cause when points were lost.
void NoteCameraSettings(TCheckResult& Result, const std::string& Settings,
                        const std::vector<std::string>& Changes);

// Writes "corvalet-check.txt", "corvalet-check.png" and "corvalet-points.csv"
// into Dir. False with Error naming the file when one cannot be written.
bool WriteCheckReport(const std::string& Dir, const TCheckResult& Result, std::string* Error);
// Removes Dir's report, picture and points file, so that no older scan's report stands beside a new
// index.
void RemoveCheckReport(const std::string& Dir);

// The photo names that the index in Dir lists; nullopt with Error when it
// cannot be read.
std::optional<std::vector<std::string>> ReadScanIndex(const std::string& Dir, std::string* Error);
