#include "geometry/PointCloudFile.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

// Comments are single header lines: no line breaks or other control characters.
std::string OneLine(std::string Text) {
  for (char& c : Text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  return Text;
}

template <class T>
void Put(std::string& Out, T Value) {
  static_assert(std::endian::native == std::endian::little ||
                std::endian::native == std::endian::big);
  char bytes[sizeof(T)];
  std::memcpy(bytes, &Value, sizeof(T));
  if constexpr (std::endian::native == std::endian::big) std::reverse(bytes, bytes + sizeof(T));
  Out.append(bytes, sizeof(T));
}

}  // namespace

bool WritePointCloudPly(const std::string& Path, const std::vector<TCloudPoint>& Cloud,
                        const std::string& CalibrationFile, std::string* Error) {
  std::string data =
      "ply\n"
      "format binary_little_endian 1.0\n"
      "comment CorvaletScan: the read points of one scan\n"
      "comment unit: mm\n"
      "comment frame: camera (origin at its centre, x right, y down, z forward)\n"
      "comment calibration: " +
      OneLine(CalibrationFile) +
      "\n"
      "comment number, row, column: the point in the projected raster\n"
      "comment residual: gap between the camera's and the projector's rays, mm\n"
      "comment reprojection: larger of the camera's and projector's reprojection errors, px\n"
      "comment brightness: highest level in the all-points photo above the dark field, 0-255\n"
      "comment marked: 1 off its neighbours' surface or with a large residual\n"
      "element vertex " +
      std::to_string(Cloud.size()) +
      "\n"
      "property float x\n"
      "property float y\n"
      "property float z\n"
      "property int number\n"
      "property int row\n"
      "property int column\n"
      "property float residual\n"
      "property float reprojection\n"
      "property uchar brightness\n"
      "property uchar marked\n"
      "end_header\n";
  data.reserve(data.size() + Cloud.size() * 34);
  for (const TCloudPoint& p : Cloud) {
    Put(data, p.CameraMm.x);
    Put(data, p.CameraMm.y);
    Put(data, p.CameraMm.z);
    Put(data, std::int32_t(p.Number));
    Put(data, std::int32_t(p.Row));
    Put(data, std::int32_t(p.Column));
    Put(data, p.RayGapMm);
    Put(data, p.ReprojectionPx);
    Put(data, std::uint8_t(std::clamp(std::lround(p.Brightness), 0L, 255L)));
    Put(data, std::uint8_t(p.Marked ? 1 : 0));
  }
  const std::string temporary = Path + ".part";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (out) out.write(data.data(), std::streamsize(data.size()));
    if (out) out.close();
    if (!out) {
      if (Error) *Error = Path + ": cannot be written: " + std::strerror(errno);
      std::error_code ignored;
      std::filesystem::remove(temporary, ignored);
      return false;
    }
  }
  std::error_code error;
  std::filesystem::rename(temporary, Path, error);
  if (error) {
    if (Error) *Error = Path + ": cannot be written: " + error.message();
    std::filesystem::remove(temporary, error);
    return false;
  }
  return true;
}
