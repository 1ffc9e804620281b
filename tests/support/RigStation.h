#pragma once

// The station with the simulated rig as the camera, as an operator drives it
// in the reliability tests. Records what the operator sees (log lines, error
// boxes), the waits the program asks for, and every photo it reports as saved.

#include <QSize>
#include <cstdint>

#include "app/Ovl_1.h"
#include "platform/Application.h"
#include "tests/support/Station.h"

namespace Station {

// Waits, without running the loop, until the rig has delivered Count photos
// in its present SDK instance: their messages then wait in the queue.
bool WaitForDeliveries(unsigned Count);

// A photo that the program reported as saved, as it lay on disk at that moment.
struct TSavedPhoto {
  std::string Name;
  std::uint64_t Size = 0;
  std::uint64_t Digest = 0;
};

class TStation {
 public:
  // Takes over the log, the sleep function, the error box and the hook.
  TStation();
  // Gives them back and disconnects the camera.
  ~TStation();
  TStation(const TStation&) = delete;
  TStation& operator=(const TStation&) = delete;

  // A button of the main window, by object name, clicked with the mouse.
  void Click(const char* Name);
  // A click on the projection image: brings the main window back.
  void ClickProjection();
  // "Adresář" with Directory chosen and confirmed in the dialog.
  void ChooseDirectory(const fs::path& Directory);
  // The camera link runs at BytesPerMicrosecond (MB/s): the downloads' clock
  // moves on with each byte the rig hands over, beside the manual clock, so
  // that downloads take their time without a real wait.
  void LinkAt(double BytesPerMicrosecond);

  // Runs the loop until no photo is on its way and every one the rig
  // delivered was handled; false when Patience ran out first.
  bool Settle();
  // Runs the loop until Done holds or Patience ran out.
  bool RunUntil(const std::function<bool()>& Done);

  // Forgets what was recorded so far.
  void Mark();

  // The photos saved since Mark, and of them those listed since the last scan start.
  const std::vector<TSavedPhoto>& SavedPhotos() const { return FSaved; }
  std::vector<std::string> SavedNames() const;
  std::vector<std::string> ScanNames() const;

  // Every log message since Mark, also those the panel has dropped, but the
  // camera settings lines ("Kamera: ..."), which the rig brings at every
  // connect and scan start: they are in SettingsLines.
  std::vector<std::string> Messages;
  std::vector<std::string> SettingsLines;
  // Texts of the error boxes since Mark.
  std::vector<std::string> Errors;
  // Waits asked for since Mark, in milliseconds.
  std::vector<std::uint32_t> Waits;
  // Runs inside each recorded wait, after it was recorded.
  std::function<void(std::uint32_t Milliseconds)> OnWait;
  // Scan steps whose shutter wait began with another pattern on the projector
  // than the step's own (start-up raster assumed).
  std::vector<int> WrongPatternSteps;
  // Transfer messages that reached the program's hook since the station was built.
  unsigned Transfers = 0;
  // While set, transfer messages are taken from the queue and kept in Held
  // instead of reaching the program, as if the photos were still on their way.
  bool HoldTransfers = false;
  std::vector<TMsg> Held;
  // Posts the held messages again, in their order: the photos arrive now.
  void ReleaseHeld();

  // Takes every delivered photo as handled; for after messages from an
  // earlier SDK instance were handled.
  void Rebase();

 private:
  void LineAdded(const std::string& Message);

  std::vector<TSavedPhoto> FSaved;
  // Per saved photo: whether the program listed it.
  std::vector<bool> FListed;
  std::size_t FScanStart = 0;
  int FSeenLines = 0;
  unsigned FTransfersAtStart = 0;
  unsigned FDeliveredAtStart = 0;
  QMetaObject::Connection FLogWatch;
  TApplication::TMessageHook FPreviousHook;
};

// Every check failure goes to GoogleTest with Context. Checks that each of
// Photos lies in Directory byte for byte as the rig delivered it and as it
// was when saved, and decodes as a JPEG of Size.
void ExpectPhotosIntact(const fs::path& Directory, const std::vector<TSavedPhoto>& Photos,
                        QSize Size, const std::string& Context = "");

}  // namespace Station
