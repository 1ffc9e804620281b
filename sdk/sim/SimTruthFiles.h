#pragma once

// The simulated rig's truth as files, for tests and benchmarks that measure
// calibration and 3D points against it. Millimetres and pixels; the camera's
// frame (origin at its centre, x right, y down, z forward); pixel coordinates
// with their origin at the centre of the top-left pixel.
//
//   DIR/rig.yml               OpenCV FileStorage YAML: camera_size, camera_matrix,
//                             camera_distortion (k1 k2 p1 p2 k3), projector_size,
//                             projector_matrix, projector_distortion, rotation and
//                             translation (camera to projector), the scene's surfaces
//   DIR/NAME-truth.csv        per raster point: number,row,column,x,y,X,Y,Z,view
//   DIR/NAME-board.yml        the board's pose and its inner corners in the photo
//
// NAME is the scan's all-points photo without its extension.

#include <QImage>
#include <string>
#include <vector>

#include "sdk/sim/SimTruth.h"

// Writes DIR/rig.yml for Geometry, making DIR when missing. False with Error naming
// the file and the reason when it cannot be written.
bool SimWriteRigTruth(const std::string& Dir, const TSimGeometry& Geometry, std::string* Error);

// Writes the scan's files for Raster's points (Truth per point, Index - 1).
bool SimWriteScanTruth(const std::string& Dir, const std::string& Name,
                       const TSimGeometry& Geometry, const TSimRaster& Raster,
                       const std::vector<TSimPointTruth>& Truth, std::string* Error);

// All of it for the photo PhotoName (Width x Height) that the rig took of Frame,
// a frame that lights every point of a raster.
bool SimRecordTruth(const std::string& Dir, const std::string& PhotoName, const QImage& Frame,
                    int Width, int Height, const TSimOptics& Optics, const TSimStage& Stage,
                    std::string* Error);
