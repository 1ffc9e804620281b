#include "sdk/sim/SimRig.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "camera/EDSDKApi.h"
#include "platform/ProjectorFeed.h"
#include "sdk/CameraSettings.h"
#include "sdk/sim/SimScene.h"

namespace {

using namespace std::chrono_literals;

// Collects what the SDK calls back with; callbacks arrive on the SDK's thread.
class TRecorder {
 public:
  std::vector<EdsBaseRef> Items() {
    std::lock_guard guard(Lock);
    return ItemRefs;
  }
  std::vector<std::pair<EdsUInt32, EdsUInt32>> Properties() {
    std::lock_guard guard(Lock);
    return PropertyEvents;
  }
  // Waits until Count items came; gives what came by then.
  std::vector<EdsBaseRef> WaitForItems(std::size_t Count, std::chrono::milliseconds Limit = 60s) {
    std::unique_lock lock(Lock);
    Arrived.wait_for(lock, Limit, [&] { return ItemRefs.size() >= Count; });
    return ItemRefs;
  }
  // Set once EdsTerminateSDK returned: any callback after it is a fault.
  std::atomic<bool> Terminated{false};
  std::atomic<int> CallsAfterTerminate{0};

  static EdsError OnObject(EdsUInt32 Event, EdsBaseRef Object, EdsVoid* Context) {
    auto& self = *static_cast<TRecorder*>(Context);
    if (self.Terminated) ++self.CallsAfterTerminate;
    std::lock_guard guard(self.Lock);
    if (Event == EdsObjectEvent_TransferRequest) self.ItemRefs.push_back(Object);
    self.Arrived.notify_all();
    return EdsResult_Ok;
  }
  static EdsError OnProperty(EdsUInt32 Event, EdsUInt32 Property, EdsUInt32, EdsVoid* Context) {
    auto& self = *static_cast<TRecorder*>(Context);
    if (self.Terminated) ++self.CallsAfterTerminate;
    std::lock_guard guard(self.Lock);
    self.PropertyEvents.emplace_back(Event, Property);
    self.Arrived.notify_all();
    return EdsResult_Ok;
  }

 private:
  std::mutex Lock;
  std::condition_variable Arrived;
  std::vector<EdsBaseRef> ItemRefs;
  std::vector<std::pair<EdsUInt32, EdsUInt32>> PropertyEvents;
};

struct TProgress {
  std::vector<EdsUInt32> Percents;
  std::vector<std::thread::id> Threads;
  int CancelAtCall = -1;  // cancel when this many calls came, -1 never

  static EdsError Callback(EdsUInt32 Percent, EdsVoid* Context, EdsBool* Cancel) {
    auto& self = *static_cast<TProgress*>(Context);
    self.Percents.push_back(Percent);
    self.Threads.push_back(std::this_thread::get_id());
    if (int(self.Percents.size()) == self.CancelAtCall) *Cancel = true;
    return EdsResult_Ok;
  }
};

QImage Frame(QColor Fill) {
  QImage frame(1016, 734, QImage::Format_BGR888);
  frame.fill(Fill);
  return frame;
}

EdsError SetSaveTo(EdsCameraRef Camera, EdsUInt32 Where) {
  return EdsSetPropertyData(Camera, EdsProperty_SaveTo, 0, sizeof Where, &Where);
}

class SimRig : public ::testing::Test {
 protected:
  void TearDown() override {
    EdsTerminateSDK();
    ClearProjectorFrame();
    SimUseEnvironment();
  }

  // Starts the SDK with Config and takes the first camera.
  EdsCameraRef Connect(const std::string& Config) {
    EXPECT_TRUE(SimConfigure(Config));
    EXPECT_EQ(EdsInitializeSDK(), EdsResult_Ok);
    EdsCameraListRef list = nullptr;
    EdsCameraRef camera = nullptr;
    EXPECT_EQ(EdsGetCameraList(&list), EdsResult_Ok);
    EXPECT_EQ(EdsGetChildAtIndex(list, 0, &camera), EdsResult_Ok);
    EXPECT_EQ(EdsRelease(list), 0u);
    return camera;
  }

  // Connects, opens a session that hands pictures to the host and listens.
  EdsCameraRef ConnectForPictures(const std::string& Config) {
    EdsCameraRef camera = Connect(Config);
    EXPECT_EQ(EdsOpenSession(camera), EdsResult_Ok);
    EXPECT_EQ(SetSaveTo(camera, EdsSaveTo_Host), EdsResult_Ok);
    EXPECT_EQ(EdsSetObjectEventHandler(camera, EdsObjectEvent_All, TRecorder::OnObject, &Events),
              EdsResult_Ok);
    return camera;
  }

  // Downloads Item into the temporary directory; gives the file's path.
  QString Download(EdsBaseRef Item, TProgress* Progress = nullptr,
                   EdsError Expected = EdsResult_Ok) {
    EdsDirectoryItemInfo info{};
    EXPECT_EQ(EdsGetDirectoryItemInfo(Item, &info), EdsResult_Ok);
    const QString path = Directory.filePath(QString::fromUtf8(info.FileName));
    EdsStreamRef stream = nullptr;
    EXPECT_EQ(EdsCreateFileStream(path.toUtf8().constData(), EdsFileCreate_Always,
                                  EdsFileAccess_ReadWrite, &stream),
              EdsResult_Ok);
    if (Progress) {
      EXPECT_EQ(EdsSetProgressCallback(stream, TProgress::Callback, EdsProgressOption_Periodically,
                                       Progress),
                EdsResult_Ok);
    }
    EXPECT_EQ(EdsDownload(Item, info.Size, stream), Expected);
    if (Expected == EdsResult_Ok) {
      EXPECT_EQ(EdsDownloadComplete(Item), EdsResult_Ok);
    }
    EXPECT_EQ(EdsRelease(stream), 0u);
    return path;
  }

  // Takes one picture of Shown and gives the photo as downloaded.
  QImage Photograph(EdsCameraRef Camera, const QImage& Shown) {
    if (Shown.isNull())
      ClearProjectorFrame();
    else
      PublishProjectorFrame(Shown);
    const std::size_t before = Events.Items().size();
    EXPECT_EQ(EdsSendCommand(Camera, EdsCommand_TakePicture, 0), EdsResult_Ok);
    const auto items = Events.WaitForItems(before + 1);
    if (items.size() <= before) return {};
    const QString path = Download(items[before]);
    EXPECT_EQ(EdsRelease(items[before]), 0u);
    return QImage(path);
  }

  std::string NameOf(EdsBaseRef Item) {
    EdsDirectoryItemInfo info{};
    EXPECT_EQ(EdsGetDirectoryItemInfo(Item, &info), EdsResult_Ok);
    return info.FileName;
  }

  TRecorder Events;
  QTemporaryDir Directory;
};

TEST_F(SimRig, ListsTheConfiguredCameras) {
  EdsCameraRef camera = Connect("");
  EdsDeviceInfo info{};
  ASSERT_EQ(EdsGetDeviceInfo(camera, &info), EdsResult_Ok);
  EXPECT_STREQ(info.DeviceDescription, "Simulated camera");
  EXPECT_NE(info.DeviceSubType, EdsDeviceSubType_Legacy);
  EdsTerminateSDK();

  for (const auto& [config, count, legacy] :
       {std::tuple{"cameras=0", 0u, false}, {"cameras=3,legacy=1", 3u, true}}) {
    SimConfigure(config);
    ASSERT_EQ(EdsInitializeSDK(), EdsResult_Ok);
    EdsCameraListRef list = nullptr;
    ASSERT_EQ(EdsGetCameraList(&list), EdsResult_Ok);
    EdsUInt32 children = 99;
    ASSERT_EQ(EdsGetChildCount(list, &children), EdsResult_Ok);
    EXPECT_EQ(children, count) << config;
    EdsBaseRef child = nullptr;
    EXPECT_EQ(EdsGetChildAtIndex(list, EdsInt32(count), &child), EdsResult_InvalidParameter);
    if (count > 1) {
      ASSERT_EQ(EdsGetChildAtIndex(list, 1, &child), EdsResult_Ok);
      ASSERT_EQ(EdsGetDeviceInfo(child, &info), EdsResult_Ok);
      EXPECT_STREQ(info.DeviceDescription, "Simulated camera 2");
      EXPECT_EQ(info.DeviceSubType == EdsDeviceSubType_Legacy, legacy);
    }
    EdsRelease(list);
    EdsTerminateSDK();
  }
}

TEST_F(SimRig, RefusesStaleAndUnknownReferences) {
  ASSERT_TRUE(SimConfigure(""));
  ASSERT_EQ(EdsInitializeSDK(), EdsResult_Ok);
  const unsigned cameras = SimStatistics().LiveReferences;
  EdsCameraListRef list = nullptr;
  EdsCameraRef camera = nullptr;
  ASSERT_EQ(EdsGetCameraList(&list), EdsResult_Ok);
  ASSERT_EQ(EdsGetChildAtIndex(list, 0, &camera), EdsResult_Ok);
  EXPECT_EQ(SimStatistics().LiveReferences, cameras + 1);

  EXPECT_EQ(EdsRelease(list), 0u);
  EXPECT_EQ(EdsRelease(list), SimReleaseRefused);
  EdsUInt32 count = 0;
  EXPECT_EQ(EdsGetChildCount(list, &count), EdsResult_InvalidHandle);
  EXPECT_EQ(SimStatistics().LiveReferences, cameras);

  // The camera keeps the SDK's own reference: the host cannot release it away.
  EXPECT_EQ(EdsRelease(camera), 1u);
  EXPECT_EQ(EdsRelease(camera), SimReleaseRefused);
  EXPECT_EQ(EdsOpenSession(camera), EdsResult_Ok);

  int unknown = 0;
  EXPECT_EQ(EdsOpenSession(reinterpret_cast<EdsCameraRef>(&unknown)), EdsResult_InvalidHandle);
  EXPECT_EQ(EdsRelease(reinterpret_cast<EdsBaseRef>(&unknown)), SimReleaseRefused);
  EXPECT_EQ(EdsOpenSession(nullptr), EdsResult_InvalidHandle);
  // A list is no camera.
  ASSERT_EQ(EdsGetCameraList(&list), EdsResult_Ok);
  EXPECT_EQ(EdsOpenSession(list), EdsResult_InvalidHandle);
  EdsRelease(list);

  // Nothing of a finished SDK instance is valid in the next one.
  EXPECT_EQ(EdsTerminateSDK(), EdsResult_Ok);
  EXPECT_EQ(SimStatistics().LiveReferences, 0u);
  ASSERT_EQ(EdsInitializeSDK(), EdsResult_Ok);
  EXPECT_EQ(EdsCloseSession(camera), EdsResult_InvalidHandle);
  EXPECT_EQ(EdsRelease(camera), SimReleaseRefused);
}

TEST_F(SimRig, KeepsTheSettingsTheHostMakesInASession) {
  EdsCameraRef camera = Connect("");
  const EdsCapacity capacity{EdsHostFreeClusters, EdsHostBytesPerSector, true};
  EXPECT_EQ(EdsSendCommand(camera, EdsCommand_TakePicture, 0), EdsResult_SessionNotOpen);
  EXPECT_EQ(SetSaveTo(camera, EdsSaveTo_Host), EdsResult_SessionNotOpen);

  ASSERT_EQ(EdsOpenSession(camera), EdsResult_Ok);
  EXPECT_EQ(SimCameraState(0).SaveTo, 1u);  // the camera's own card until told otherwise
  EXPECT_EQ(SetSaveTo(camera, 7), EdsResult_InvalidParameter);
  EXPECT_EQ(SetSaveTo(camera, EdsSaveTo_Host), EdsResult_Ok);
  EXPECT_EQ(EdsSendStatusCommand(camera, EdsStatusCommand_UiLock, 0), EdsResult_Ok);
  EXPECT_EQ(SimCameraState(0).UiLocks, 1);
  EXPECT_EQ(EdsSetCapacity(camera, capacity), EdsResult_Ok);
  EXPECT_EQ(EdsSendStatusCommand(camera, EdsStatusCommand_UiUnlock, 0), EdsResult_Ok);
  const TSimCameraState state = SimCameraState(0);
  EXPECT_EQ(state.SaveTo, EdsSaveTo_Host);
  EXPECT_EQ(state.UiLocks, 0);
  EXPECT_EQ(state.Capacity.NumberOfFreeClusters, EdsHostFreeClusters);
  EXPECT_EQ(state.Capacity.BytesPerSector, EdsHostBytesPerSector);

  EXPECT_EQ(EdsCloseSession(camera), EdsResult_Ok);
  EXPECT_EQ(EdsCloseSession(camera), EdsResult_SessionNotOpen);
}

TEST_F(SimRig, PhotographsWhatTheProjectorThrows) {
  EdsCameraRef camera = ConnectForPictures("latency=0");
  auto photoPoint = [](double X, double Y) {
    return SimPhotoPoint(1016, 734, 2048, 1536, TSimOptics{}, X, Y);
  };
  const QPointF middle = photoPoint(508, 367);
  const QPoint inside(int(middle.x()), int(middle.y()));
  const QPoint outside(10, 10);

  const QImage lit = Photograph(camera, Frame(Qt::white));
  ASSERT_EQ(lit.size(), QSize(2048, 1536));
  EXPECT_GT(qGray(lit.pixel(inside)), 180);
  EXPECT_LT(qGray(lit.pixel(outside)), 40);  // beside the projected frame

  const QImage dark = Photograph(camera, Frame(Qt::black));
  EXPECT_LT(qGray(dark.pixel(inside)), 40);

  QImage point = Frame(Qt::black);
  for (int dy = 0; dy < 3; ++dy)
    for (int dx = 0; dx < 3; ++dx) point.setPixelColor(700 + dx, 200 + dy, Qt::green);
  const QImage photo = Photograph(camera, point);
  const QPointF at = photoPoint(701.5, 201.5);
  EXPECT_GT(qGreen(photo.pixel(int(at.x()), int(at.y()))), 150);
  EXPECT_LT(qGreen(photo.pixel(int(at.x()) + 12, int(at.y()))), 40);
  EXPECT_LT(qGreen(photo.pixel(int(at.x()), int(at.y()) - 12)), 40);
  EXPECT_LT(qGreen(photo.pixel(inside)), 40);

  // A hidden projection window throws no light at all.
  const QImage hidden = Photograph(camera, QImage());
  int brightest = 0;
  for (int y = 0; y < hidden.height(); y += 7)
    for (int x = 0; x < hidden.width(); x += 7)
      brightest = std::max(brightest, qGray(hidden.pixel(x, y)));
  EXPECT_LT(brightest, 45);
}

TEST_F(SimRig, WritesEachScansTruthAndMovesTheBoardBetweenScans) {
  const QString truth = Directory.filePath("truth");
  EdsCameraRef camera = ConnectForPictures(
      "latency=0,size=640x480,scene=board,board=7x5:30,pose=11,truth=" + truth.toStdString());
  QImage points = Frame(Qt::black);
  for (int y = 10; y + 3 <= 650; y += 8)
    for (int x = 10; x + 3 <= 970; x += 8)
      for (int dy = 0; dy < 3; ++dy)
        for (int dx = 0; dx < 3; ++dx) points.setPixelColor(x + dx, y + dy, Qt::green);
  // Three scans as the station takes them (dark, lit, all points, a bit-plane), with
  // aiming's dark field and points before the second.
  for (int scan = 0; scan < 3; ++scan) {
    if (scan == 1) {
      Photograph(camera, Frame(Qt::black));
      Photograph(camera, points);
    }
    for (const QImage& frame : {Frame(Qt::black), Frame(Qt::white), points, points})
      ASSERT_FALSE(Photograph(camera, frame).isNull());
  }
  const QDir dir(truth);
  EXPECT_TRUE(dir.exists("rig.yml"));
  const QStringList boards = dir.entryList({"*-board.yml"}, QDir::Files, QDir::Name);
  ASSERT_EQ(boards.size(), 3) << boards.join(" ").toStdString();
  const char* poses[] = {"pose: 11\n", "pose: 12\n", "pose: 1\n"};
  for (int scan = 0; scan < 3; ++scan) {
    QFile board(dir.filePath(boards[scan]));
    ASSERT_TRUE(board.open(QIODevice::ReadOnly));
    const QByteArray text = board.readAll();
    EXPECT_TRUE(text.contains(poses[scan])) << text.toStdString();
    EXPECT_TRUE(text.contains("board_size: [ 7, 5 ]"));
    QFile csv(dir.filePath(QString(boards[scan]).replace("-board.yml", "-truth.csv")));
    ASSERT_TRUE(csv.open(QIODevice::ReadOnly));
    EXPECT_EQ(csv.readLine(), "number,row,column,x,y,X,Y,Z,view\n");
    int lines = 0;
    while (!csv.readLine().isEmpty()) ++lines;
    EXPECT_EQ(lines, 80 * 120);
  }
}

TEST_F(SimRig, NamesPhotosInSequenceAcrossSessions) {
  EdsCameraRef camera = ConnectForPictures("latency=0,size=64x48");
  PublishProjectorFrame(Frame(Qt::white));
  for (int shot = 0; shot < 3; ++shot)
    ASSERT_EQ(EdsSendCommand(camera, EdsCommand_TakePicture, 0), EdsResult_Ok);
  auto items = Events.WaitForItems(3);
  ASSERT_EQ(items.size(), 3u);
  const std::string first = NameOf(items[0]);
  ASSERT_EQ(first.size(), 12u);
  ASSERT_EQ(first.substr(0, 4), "IMG_");
  ASSERT_EQ(first.substr(8), ".JPG");
  const int number = std::stoi(first.substr(4, 4));
  auto nameOf = [](int Number) {
    char name[32];
    std::snprintf(name, sizeof name, "IMG_%04d.JPG", Number);
    return std::string(name);
  };
  EXPECT_EQ(NameOf(items[1]), nameOf(number + 1));
  EXPECT_EQ(NameOf(items[2]), nameOf(number + 2));

  // A new SDK instance goes on counting.
  EdsTerminateSDK();
  camera = ConnectForPictures("latency=0,size=64x48");
  ASSERT_EQ(EdsSendCommand(camera, EdsCommand_TakePicture, 0), EdsResult_Ok);
  items = Events.WaitForItems(4);
  ASSERT_EQ(items.size(), 4u);
  EXPECT_EQ(NameOf(items[3]), nameOf(number + 3));
}

TEST_F(SimRig, KeepsPicturesOnTheCardUnlessToldToHandThemOver) {
  EdsCameraRef camera = Connect("latency=0,size=64x48");
  ASSERT_EQ(EdsOpenSession(camera), EdsResult_Ok);
  ASSERT_EQ(EdsSetObjectEventHandler(camera, EdsObjectEvent_All, TRecorder::OnObject, &Events),
            EdsResult_Ok);
  EXPECT_EQ(EdsSendCommand(camera, EdsCommand_TakePicture, 0), EdsResult_Ok);
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(Events.Items().empty());
  EXPECT_EQ(SimStatistics().ShotsToCard, 1u);

  // Both card and host: the host gets it.
  ASSERT_EQ(SetSaveTo(camera, 3), EdsResult_Ok);
  EXPECT_EQ(EdsSendCommand(camera, EdsCommand_TakePicture, 0), EdsResult_Ok);
  EXPECT_EQ(Events.WaitForItems(1).size(), 1u);
}

TEST_F(SimRig, InjectsFailuresOnTheChosenCall) {
  EdsCameraRef camera = Connect(
      "fail=EdsOpenSession:2:0x81,fail=EdsDownload:always:0x24,fail=EdsInitializeSDK:2:0xC0,"
      "latency=0,size=64x48");
  EXPECT_EQ(EdsOpenSession(camera), EdsResult_Ok);
  EXPECT_EQ(EdsCloseSession(camera), EdsResult_Ok);
  EXPECT_EQ(EdsOpenSession(camera), EdsResult_DeviceBusy);
  EXPECT_FALSE(SimCameraState(0).SessionOpen);  // a failed call has no effect
  EXPECT_EQ(EdsOpenSession(camera), EdsResult_Ok);
  EXPECT_EQ(SimCallCount("EdsOpenSession"), 3u);

  ASSERT_EQ(SetSaveTo(camera, EdsSaveTo_Host), EdsResult_Ok);
  ASSERT_EQ(EdsSetObjectEventHandler(camera, EdsObjectEvent_All, TRecorder::OnObject, &Events),
            EdsResult_Ok);
  ASSERT_EQ(EdsSendCommand(camera, EdsCommand_TakePicture, 0), EdsResult_Ok);
  const auto items = Events.WaitForItems(1);
  ASSERT_EQ(items.size(), 1u);
  for (int attempt = 0; attempt < 2; ++attempt) {
    const QString path = Download(items[0], nullptr, EdsResult_FileWriteError);
    EXPECT_EQ(QFile(path).size(), 0);
  }

  // The second start of the SDK fails and leaves it stopped; the third works.
  EdsTerminateSDK();
  EXPECT_EQ(EdsInitializeSDK(), EdsResult_CommunicationError);
  EdsCameraListRef list = nullptr;
  EXPECT_EQ(EdsGetCameraList(&list), EdsResult_InternalError);
  EXPECT_EQ(EdsInitializeSDK(), EdsResult_Ok);
  EXPECT_EQ(SimCallCount("EdsInitializeSDK"), 3u);
  // Call counts of everything else start again with the SDK.
  EXPECT_EQ(SimCallCount("EdsOpenSession"), 0u);
}

TEST_F(SimRig, ReadsItsConfigurationWhenItStarts) {
  auto cameraCount = [] {
    EdsCameraListRef list = nullptr;
    EdsUInt32 count = 0;
    EXPECT_EQ(EdsGetCameraList(&list), EdsResult_Ok);
    EXPECT_EQ(EdsGetChildCount(list, &count), EdsResult_Ok);
    EdsRelease(list);
    return count;
  };
  SimUseEnvironment();
  setenv(SimEnvironmentVariable, "cameras=2", 1);
  ASSERT_EQ(EdsInitializeSDK(), EdsResult_Ok);
  setenv(SimEnvironmentVariable, "cameras=3", 1);
  EXPECT_EQ(EdsInitializeSDK(), EdsResult_Ok);  // already running: keeps what it started with
  EXPECT_EQ(cameraCount(), 2u);
  EdsTerminateSDK();
  unsetenv(SimEnvironmentVariable);

  testing::internal::CaptureStderr();
  EXPECT_FALSE(SimConfigure("cameras=2,latency=soon"));
  const std::string message = testing::internal::GetCapturedStderr();
  EXPECT_NE(message.find("latency=soon"), std::string::npos) << message;
  ASSERT_EQ(EdsInitializeSDK(), EdsResult_Ok);
  EXPECT_EQ(cameraCount(), 1u);
}

TEST_F(SimRig, SwallowedShotNeverArrives) {
  EdsCameraRef camera = ConnectForPictures("latency=0,size=64x48,swallow=2");
  PublishProjectorFrame(Frame(Qt::white));
  for (int shot = 0; shot < 3; ++shot)
    ASSERT_EQ(EdsSendCommand(camera, EdsCommand_TakePicture, 0), EdsResult_Ok);
  EXPECT_EQ(Events.WaitForItems(2).size(), 2u);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(Events.Items().size(), 2u);
  const TSimStatistics stats = SimStatistics();
  EXPECT_EQ(stats.ShotsAccepted, 3u);
  EXPECT_EQ(stats.ShotsSwallowed, 1u);
  EXPECT_EQ(stats.PhotosDelivered, 2u);
}

TEST_F(SimRig, NoCallbackAfterTerminate) {
  // Shots waiting for the shutter, and one being rendered at full size.
  for (const char* config : {"latency=200,size=64x48", "latency=0"}) {
    EdsCameraRef camera = ConnectForPictures(config);
    PublishProjectorFrame(Frame(Qt::white));
    ASSERT_EQ(EdsSendCommand(camera, EdsCommand_TakePicture, 0), EdsResult_Ok);
    ASSERT_EQ(EdsSendCommand(camera, EdsCommand_TakePicture, 0), EdsResult_Ok);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(EdsTerminateSDK(), EdsResult_Ok);
    Events.Terminated = true;
    const std::size_t delivered = Events.Items().size();
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(Events.CallsAfterTerminate, 0) << config;
    EXPECT_EQ(Events.Items().size(), delivered);
    EXPECT_LT(delivered, 2u) << config;
    Events.Terminated = false;
  }
}

TEST_F(SimRig, SameSeedGivesTheSamePhoto) {
  QImage frame = Frame(Qt::black);
  frame.fill(QColor(120, 200, 40));
  auto photoBytes = [&](const std::string& config) {
    EdsCameraRef camera = ConnectForPictures(config);
    PublishProjectorFrame(frame);
    const std::size_t before = Events.Items().size();
    EXPECT_EQ(EdsSendCommand(camera, EdsCommand_TakePicture, 0), EdsResult_Ok);
    const auto items = Events.WaitForItems(before + 1);
    if (items.size() <= before) return QByteArray();
    QFile file(Download(items[before]));
    EdsTerminateSDK();
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  };
  const QByteArray first = photoBytes("latency=0,size=320x240,seed=5");
  ASSERT_FALSE(first.isEmpty());
  EXPECT_EQ(photoBytes("latency=0,size=320x240,seed=5"), first);
  EXPECT_NE(photoBytes("latency=0,size=320x240,seed=6"), first);
}

TEST_F(SimRig, DownloadWritesTheItemAndReportsProgress) {
  EdsCameraRef camera = ConnectForPictures("latency=0");
  QImage frame = Frame(Qt::black);
  for (int y = 10; y < 730; y += 8)
    for (int x = 10; x < 1010; x += 8) frame.setPixelColor(x, y, Qt::white);
  PublishProjectorFrame(frame);
  ASSERT_EQ(EdsSendCommand(camera, EdsCommand_TakePicture, 0), EdsResult_Ok);
  const auto items = Events.WaitForItems(1);
  ASSERT_EQ(items.size(), 1u);
  EdsDirectoryItemInfo info{};
  ASSERT_EQ(EdsGetDirectoryItemInfo(items[0], &info), EdsResult_Ok);
  EXPECT_EQ(info.IsFolder, 0);

  TProgress progress;
  const QString path = Download(items[0], &progress);
  EXPECT_EQ(SimLastDownloadPath(), path.toStdString());
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QByteArray bytes = file.readAll();
  EXPECT_EQ(bytes.size(), qsizetype(info.Size));
  EXPECT_EQ(QImage::fromData(bytes, "JPG").size(), QSize(2048, 1536));
  ASSERT_GE(progress.Percents.size(), 4u);  // a full-size photo comes in several pieces
  EXPECT_EQ(progress.Percents.front(), 0u);
  EXPECT_EQ(progress.Percents.back(), 100u);
  for (std::size_t k = 1; k < progress.Percents.size(); ++k)
    EXPECT_LT(progress.Percents[k - 1], progress.Percents[k]);
  for (std::thread::id thread : progress.Threads) EXPECT_EQ(thread, std::this_thread::get_id());

  // A second download of the same item gives the same bytes; a cancelled one stops short.
  const QString again = Download(items[0]);
  QFile second(again);
  ASSERT_TRUE(second.open(QIODevice::ReadOnly));
  EXPECT_EQ(second.readAll(), bytes);
  TProgress cancelling;
  cancelling.CancelAtCall = 2;
  const QString cancelled = Download(items[0], &cancelling, EdsResult_OperationCancelled);
  EXPECT_EQ(cancelling.Percents.size(), 2u);
  EXPECT_LT(QFile(cancelled).size(), qint64(info.Size));

  EdsStreamRef stream = nullptr;
  EXPECT_EQ(EdsCreateFileStream(Directory.filePath("missing/IMG.JPG").toUtf8().constData(),
                                EdsFileCreate_Always, EdsFileAccess_ReadWrite, &stream),
            EdsResult_FileOpenError);

  // An item is released once.
  EXPECT_EQ(EdsRelease(items[0]), 0u);
  EXPECT_EQ(EdsRelease(items[0]), SimReleaseRefused);
  EXPECT_EQ(EdsGetDirectoryItemInfo(items[0], &info), EdsResult_InvalidHandle);
}

// The camera's own time passes before a photo is announced, the link's speed
// paces its download, and a photo padded to a real camera's size comes in
// pieces that add up to the photo exactly. Lower bounds only: a busy machine is slower.
TEST_F(SimRig, CameraTimeBandwidthAndPiecesShapeEachPhoto) {
  EdsCameraRef camera = ConnectForPictures("camera=300,bandwidth=2,bytes=600000,size=320x240");
  const auto shutter = std::chrono::steady_clock::now();
  ASSERT_EQ(EdsSendCommand(camera, EdsCommand_TakePicture, 0), EdsResult_Ok);
  const auto items = Events.WaitForItems(1);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_GE(std::chrono::steady_clock::now() - shutter, 300ms);
  EdsDirectoryItemInfo info{};
  ASSERT_EQ(EdsGetDirectoryItemInfo(items[0], &info), EdsResult_Ok);
  ASSERT_GE(info.Size, 600000u - 4);
  ASSERT_LE(info.Size, 600000u);

  const QString path = Directory.filePath(QString::fromUtf8(info.FileName));
  EdsStreamRef stream = nullptr;
  ASSERT_EQ(EdsCreateFileStream(path.toUtf8().constData(), EdsFileCreate_New,
                                EdsFileAccess_ReadWrite, &stream),
            EdsResult_Ok);
  const auto begun = std::chrono::steady_clock::now();
  EXPECT_EQ(EdsDownload(items[0], 100000, stream), EdsResult_Ok);
  EXPECT_EQ(EdsDownload(items[0], info.Size - 100000 + 1, stream), EdsResult_InvalidParameter);
  EXPECT_EQ(EdsDownload(items[0], info.Size - 100000, stream), EdsResult_Ok);
  // 600000 bytes at 2 MB/s.
  EXPECT_GE(std::chrono::steady_clock::now() - begun, 300ms);
  EXPECT_EQ(EdsRelease(stream), 0u);
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QByteArray bytes = file.readAll();
  const auto delivered = SimPhoto(info.FileName);
  ASSERT_TRUE(delivered);
  EXPECT_EQ(std::uint64_t(bytes.size()), delivered->Size);
  EXPECT_EQ(SimDigest(std::string_view(bytes.constData(), bytes.size())), delivered->Digest);
  EXPECT_EQ(QImage::fromData(bytes, "JPG").size(), QSize(320, 240));
  EXPECT_EQ(SimStatistics().BytesDownloaded, info.Size);
  EXPECT_EQ(EdsRelease(items[0]), 0u);
}

TEST_F(SimRig, TellsPropertiesOnceAHandlerListens) {
  // Registered after the session opened, as the controller does.
  EdsCameraRef camera = Connect("");
  ASSERT_EQ(EdsOpenSession(camera), EdsResult_Ok);
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(Events.Properties().empty());
  ASSERT_EQ(
      EdsSetPropertyEventHandler(camera, EdsPropertyEvent_All, TRecorder::OnProperty, &Events),
      EdsResult_Ok);
  for (int wait = 0; wait < 500 && Events.Properties().size() < 4; ++wait)
    std::this_thread::sleep_for(10ms);
  const auto told = Events.Properties();
  ASSERT_EQ(told.size(), 4u);
  EXPECT_EQ(told[1], std::make_pair(EdsPropertyEvent_ValueChanged, EdsProperty_IsoSpeed));

  // Registered before: told on opening.
  EXPECT_EQ(EdsCloseSession(camera), EdsResult_Ok);
  EXPECT_EQ(EdsOpenSession(camera), EdsResult_Ok);
  for (int wait = 0; wait < 500 && Events.Properties().size() < 8; ++wait)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(Events.Properties().size(), 8u);
}

// The mean grey level of the middle of a photo, where the projector's frame lies.
double MiddleLevel(const QImage& Photo) {
  double sum = 0;
  int count = 0;
  for (int y = Photo.height() * 2 / 5; y < Photo.height() * 3 / 5; ++y)
    for (int x = Photo.width() * 2 / 5; x < Photo.width() * 3 / 5; ++x, ++count)
      sum += qGray(Photo.pixel(x, y));
  return count ? sum / count : 0;
}

TEST_F(SimRig, CapturesSettingsAreReadSetAndToldAndShowInThePhotos) {
  ICameraSettings& settings = SimCameraSettings();
  EdsCameraRef camera = Connect("latency=0,size=256x192");
  std::vector<TSettingState> listed;
  EXPECT_EQ(settings.List(camera, listed), EdsResult_SessionNotOpen);
  ASSERT_EQ(EdsOpenSession(camera), EdsResult_Ok);
  ASSERT_EQ(SetSaveTo(camera, EdsSaveTo_Host), EdsResult_Ok);
  ASSERT_EQ(EdsSetObjectEventHandler(camera, EdsObjectEvent_All, TRecorder::OnObject, &Events),
            EdsResult_Ok);
  ASSERT_EQ(EdsSetPropertyEventHandler(camera, EdsPropertyEvent_All, TRecorder::OnProperty, &Events),
            EdsResult_Ok);
  ASSERT_EQ(settings.List(camera, listed), EdsResult_Ok);
  ASSERT_EQ(listed.size(), 7u);
  EXPECT_EQ(ExposureSummary(listed), "manuál, 1/30 s, f/8, ISO 100");
  EXPECT_FALSE(listed[int(TCameraSetting::Aperture)].Allowed.empty());

  const QImage grey = Frame(QColor(70, 70, 70));
  const double atThirtieth = MiddleLevel(Photograph(camera, grey));
  for (int wait = 0; wait < 500 && Events.Properties().size() < 4; ++wait)
    std::this_thread::sleep_for(10ms);
  const std::size_t toldBefore = Events.Properties().size();

  // Twice the time, twice the light.
  ASSERT_EQ(settings.Set(camera, TCameraSetting::ShutterSpeed, {1.0 / 15, {}}), EdsResult_Ok);
  TSettingState shutter;
  ASSERT_EQ(settings.Get(camera, TCameraSetting::ShutterSpeed, shutter), EdsResult_Ok);
  EXPECT_DOUBLE_EQ(shutter.Value.Number, 1.0 / 15);
  for (int wait = 0; wait < 500 && Events.Properties().size() <= toldBefore; ++wait)
    std::this_thread::sleep_for(10ms);
  ASSERT_EQ(Events.Properties().size(), toldBefore + 1);
  EXPECT_EQ(Events.Properties().back(),
            std::make_pair(EdsPropertyEvent_ValueChanged, EdsProperty_ShutterSpeed));
  const double atFifteenth = MiddleLevel(Photograph(camera, grey));
  EXPECT_GT(atFifteenth, 1.7 * atThirtieth) << atThirtieth;
  EXPECT_LT(atFifteenth, 2.3 * atThirtieth) << atThirtieth;

  // A value the camera does not offer changes nothing.
  EXPECT_EQ(settings.Set(camera, TCameraSetting::Aperture, {7, {}}), EdsResult_InvalidParameter);
  TSettingState aperture;
  ASSERT_EQ(settings.Get(camera, TCameraSetting::Aperture, aperture), EdsResult_Ok);
  EXPECT_DOUBLE_EQ(aperture.Value.Number, 8);

  // Manual: the dark field stays dark and the lit field bright. Automatic
  // meters each photo: the dark field comes out much brighter, the lit one darker.
  ASSERT_EQ(settings.Set(camera, TCameraSetting::ShutterSpeed, {1.0 / 30, {}}), EdsResult_Ok);
  const double darkManual = MiddleLevel(Photograph(camera, Frame(Qt::black)));
  const double litManual = MiddleLevel(Photograph(camera, Frame(Qt::white)));
  ASSERT_EQ(settings.Set(camera, TCameraSetting::ExposureMode, {0, "automatic"}), EdsResult_Ok);
  const double darkMetered = MiddleLevel(Photograph(camera, Frame(Qt::black)));
  const double litMetered = MiddleLevel(Photograph(camera, Frame(Qt::white)));
  EXPECT_GT(darkMetered, 3 * darkManual) << darkManual;
  EXPECT_LT(litMetered, 0.8 * litManual) << litManual;
}

TEST_F(SimRig, ProcessExitsCleanlyWithoutTerminate) {
  for (const std::string mode : {"pending", "rendering", "callback"}) {
    const std::string command = "'" + std::string(SIM_EXIT_HELPER) + "' " + mode;
    std::FILE* helper = popen(command.c_str(), "r");
    ASSERT_NE(helper, nullptr);
    std::string output;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, helper)) output += buffer;
    const int status = pclose(helper);
    ASSERT_TRUE(WIFEXITED(status)) << mode;
    EXPECT_EQ(WEXITSTATUS(status), 0) << mode;
    // A callback that was running when main returned ended before the process did.
    if (mode == "callback") {
      EXPECT_EQ(output, "callback finished\n");
    }
  }
}

}  // namespace
