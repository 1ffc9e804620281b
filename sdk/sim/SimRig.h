#pragma once

// The simulated camera rig, one implementation of the camera SDK functions of
// camera/EDSDKApi.h: one or more cameras on a tripod photographing what the
// projector throws (platform/ProjectorFeed.h). This header is the rig's own
// control panel for tests and tools; the program itself only calls the SDK
// functions.
//
// The rig reads its configuration at each EdsInitializeSDK, from the text given
// to SimConfigure or else from the environment variable CORVALET_SIM (syntax in
// sdk/sim/SimConfig.h). Malformed text is reported on stderr and the defaults apply.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "camera/EDSDKType.h"

struct TCameraBackend;
// The rig's SDK functions, for UseCameraBackend (sdk/CameraBackend.h). Linking
// corvalet_sdk_sim puts them in use from the start.
const TCameraBackend& SimCameraBackend();
class ICameraSettings;
// The rig's capture settings (sdk/CameraSettings.h), for UseCameraSettings; in
// use from the start like its SDK functions.
ICameraSettings& SimCameraSettings();

constexpr const char* SimEnvironmentVariable = "CORVALET_SIM";

// What EdsRelease gives for a reference that is not live.
constexpr EdsUInt32 SimReleaseRefused = 0xFFFFFFFF;

// Use Text in place of the environment from the next EdsInitializeSDK on, and
// restart every call count. False (with a message on stderr) when Text is malformed;
// the defaults then apply.
bool SimConfigure(const std::string& Text);
// Back to the environment variable.
void SimUseEnvironment();

// Calls of Function since the SDK last started. EdsInitializeSDK counts its own
// calls since the configuration last changed, so a failure can hit a later start.
unsigned SimCallCount(std::string_view Function);

struct TSimStatistics {
  unsigned ShotsAccepted = 0;         // picture commands accepted since the SDK started
  unsigned ShotsSwallowed = 0;        // of them, never delivered on purpose
  unsigned ShotsToCard = 0;           // of them, kept on the camera: save-to was not the host
  unsigned PhotosDelivered = 0;       // transfer events fired
  std::uint64_t BytesDownloaded = 0;  // photo bytes EdsDownload wrote
  unsigned LiveReferences = 0;        // lists, cameras, items and streams not yet given back
};
TSimStatistics SimStatistics();

// A camera's state as the host has set it. All false/0 when Index lists no camera.
struct TSimCameraState {
  bool SessionOpen = false;
  EdsUInt32 SaveTo = 0;  // 1 camera, 2 host, 3 both
  int UiLocks = 0;       // locks not yet unlocked
  bool CapacitySet = false;
  EdsCapacity Capacity{};
};
TSimCameraState SimCameraState(int Index);

// The full path of the last file that EdsDownload wrote completely, empty before any.
std::string SimLastDownloadPath();

// A photo as the rig handed it over: the size of its JPEG in bytes and the
// SimDigest of those bytes, so that a test can tell whether the file on disk
// is exactly what the camera sent.
struct TSimPhoto {
  std::uint64_t Size = 0;
  std::uint64_t Digest = 0;
};
// The delivered photo named FileName; empty for a name never delivered. The
// newest SimPhotosKept photos are kept.
std::optional<TSimPhoto> SimPhoto(const std::string& FileName);
constexpr std::size_t SimPhotosKept = 4096;
// 64-bit FNV-1a of Bytes.
std::uint64_t SimDigest(std::string_view Bytes);
