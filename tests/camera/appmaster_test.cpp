#include "camera/appmaster.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "tests/support/TestFiles.h"
#include "tests/support/TestSdk.h"

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

// The controller only hands it on inside the callbacks' context.
constexpr HWND Window = 77;

std::vector<std::string> Calls() {
  return TestSdk::CallTexts();
}

using Station::ReadFile;
using Station::WriteFile;

class TControllerTest : public ::testing::Test {
 protected:
  void SetUp() override { TestSdk::Reset(); }
  void TearDown() override {
    Master.reset();
    TestSdk::Reset();
  }

  // A controller over one camera of the given subtype, with its constructor's calls forgotten.
  void Start(EdsUInt32 SubType) {
    Camera = TestSdk::AddCamera("Camera One", SubType);
    Master = std::make_unique<TAppMaster>(Window);
    TestSdk::ClearCalls();
  }

  // The context the controller gives with its callbacks, as the recorded text shows it.
  std::string Ctx() const {
    const auto* context = static_cast<const TCameraEventContext*>(
        TestSdk::ObjectContext() ? TestSdk::ObjectContext() : TestSdk::ProgressContext());
    return context ? std::to_string(reinterpret_cast<std::uintptr_t>(context)) : "none";
  }

  EdsCameraRef Camera = nullptr;
  std::unique_ptr<TAppMaster> Master;
};

class TDownloadTest : public TControllerTest {
 protected:
  void SetUp() override {
    TControllerTest::SetUp();
    Dir = Station::MakeTempDirectory("corvalet-download");
    Start(1);
  }
  void TearDown() override {
    TControllerTest::TearDown();
    fs::remove_all(Dir);
  }

  std::vector<fs::path> Entries(const fs::path& Where) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::recursive_directory_iterator(Where)) found.push_back(entry.path());
    return found;
  }

  fs::path Dir;
  std::string OutName = "before";
};

// Construction and destruction.

TEST_F(TControllerTest, NoCameraReleasesTheListAndLeavesEverythingAlone) {
  Master = std::make_unique<TAppMaster>(Window);
  EXPECT_THAT(Calls(), ElementsAre("EdsInitializeSDK()", "EdsGetCameraList()",
                                   "EdsGetChildCount(list1)", "EdsRelease(list1)"));
  EXPECT_EQ(Master->GetDescriptor(), nullptr);
  EXPECT_EQ(Master->GetCameraRef(), nullptr);
  EXPECT_EQ(Master->GetCameraName(), "Camera is not detected!");

  TestSdk::ClearCalls();
  EXPECT_EQ(Master->ApplySaveToHost(), 0u);
  // No shutter is sent, and none is reported as sent.
  EXPECT_EQ(Master->TakePicture(), EdsResult_DeviceNotFound);
  EXPECT_EQ(Master->RegisterHandlers(), 0u);
  EXPECT_THAT(Calls(), IsEmpty());

  Master.reset();
  EXPECT_THAT(Calls(), ElementsAre("EdsTerminateSDK()"));
}

TEST_F(TControllerTest, TakesTheFirstOfTwoCameras) {
  const EdsCameraRef first = TestSdk::AddCamera("First", 1);
  TestSdk::AddCamera("Second", EdsDeviceSubType_Legacy);
  Master = std::make_unique<TAppMaster>(Window);
  EXPECT_THAT(Calls(), ElementsAre("EdsInitializeSDK()", "EdsGetCameraList()",
                                   "EdsGetChildCount(list1)", "EdsGetChildAtIndex(list1, 0)",
                                   "EdsGetDeviceInfo(cam1)", "EdsRelease(list1)"));
  EXPECT_EQ(Master->GetCameraRef(), first);
  ASSERT_NE(Master->GetDescriptor(), nullptr);
  EXPECT_EQ(Master->GetCameraName(), "First");
  EXPECT_FALSE(Master->IsLegacy());
  EXPECT_TRUE(Master->IsSdkInitialized());
  EXPECT_FALSE(Master->IsSessionOpen());
  EXPECT_EQ(Master->GetWindowHandle(), Window);
  EXPECT_EQ(TestSdk::ReleaseCount(first), 0);
}

TEST_F(TControllerTest, SubtypeZeroIsLegacy) {
  Start(EdsDeviceSubType_Legacy);
  EXPECT_TRUE(Master->IsLegacy());
  EXPECT_EQ(Master->GetCameraName(), "Camera One");
}

TEST_F(TControllerTest, UnreadableDeviceInfoStillGivesAnUnnamedNonLegacyCamera) {
  TestSdk::AddCamera("Old", EdsDeviceSubType_Legacy);
  TestSdk::Script("EdsGetDeviceInfo", {EdsResult_CommunicationError});
  Master = std::make_unique<TAppMaster>(Window);
  ASSERT_NE(Master->GetDescriptor(), nullptr);
  EXPECT_FALSE(Master->IsLegacy());
  EXPECT_EQ(Master->GetCameraName(), "");
  EXPECT_EQ(TestSdk::ReleaseCount(Master->GetCameraRef()), 0);
}

TEST_F(TControllerTest, FailedSdkStartCallsNothingMoreEvenOnDestruction) {
  TestSdk::AddCamera("Camera One", 1);
  TestSdk::Script("EdsInitializeSDK", {EdsResult_InternalError});
  Master = std::make_unique<TAppMaster>(Window);
  EXPECT_THAT(Calls(), ElementsAre("EdsInitializeSDK()"));
  EXPECT_FALSE(Master->IsSdkInitialized());
  EXPECT_EQ(Master->GetDescriptor(), nullptr);
  TestSdk::ClearCalls();
  Master.reset();
  EXPECT_THAT(Calls(), IsEmpty());
}

TEST_F(TControllerTest, FailedCameraListIsNotCountedNorReleased) {
  TestSdk::AddCamera("Camera One", 1);
  TestSdk::Script("EdsGetCameraList", {EdsResult_CommunicationError});
  Master = std::make_unique<TAppMaster>(Window);
  EXPECT_THAT(Calls(), ElementsAre("EdsInitializeSDK()", "EdsGetCameraList()"));
  EXPECT_EQ(Master->GetDescriptor(), nullptr);
}

TEST_F(TControllerTest, FailedCountOrChildLookupStillReleasesTheList) {
  TestSdk::AddCamera("Camera One", 1);
  TestSdk::Script("EdsGetChildCount", {EdsResult_CommunicationError});
  Master = std::make_unique<TAppMaster>(Window);
  EXPECT_THAT(Calls(), ElementsAre("EdsInitializeSDK()", "EdsGetCameraList()",
                                   "EdsGetChildCount(list1)", "EdsRelease(list1)"));
  EXPECT_EQ(Master->GetDescriptor(), nullptr);

  Master.reset();
  TestSdk::ClearCalls();
  TestSdk::Script("EdsGetChildAtIndex", {EdsResult_DeviceNotFound});
  Master = std::make_unique<TAppMaster>(Window);
  EXPECT_THAT(Calls(),
              ElementsAre("EdsInitializeSDK()", "EdsGetCameraList()", "EdsGetChildCount(list2)",
                          "EdsGetChildAtIndex(list2, 0)", "EdsRelease(list2)"));
  EXPECT_EQ(Master->GetCameraRef(), nullptr);
  EXPECT_EQ(Master->GetDescriptor(), nullptr);
}

TEST_F(TControllerTest, DestructorClosesAnOpenSessionThenEndsTheSdk) {
  Start(1);
  ASSERT_EQ(Master->OpenAndConfigure(), 0u);
  TestSdk::ClearCalls();
  Master.reset();
  EXPECT_THAT(Calls(), ElementsAre("EdsCloseSession(cam1)", "EdsTerminateSDK()"));
}

// OpenAndConfigure.

TEST_F(TControllerTest, OpenAndConfigureSetsUpACurrentCameraUnderLock) {
  Start(1);
  EXPECT_EQ(Master->OpenAndConfigure(), 0u);
  EXPECT_TRUE(Master->IsSessionOpen());
  EXPECT_THAT(Calls(), ElementsAre("EdsOpenSession(cam1)", "EdsSetPropertyData(cam1, 0xb, 0, 4, 2)",
                                   "EdsSendStatusCommand(cam1, 0, 0)",
                                   "EdsSetCapacity(cam1, 2147483647, 4096, 1)",
                                   "EdsSendStatusCommand(cam1, 1, 0)"));
}

TEST_F(TControllerTest, OpenAndConfigureOnLegacyOnlyOpensAndSetsSaveTo) {
  Start(EdsDeviceSubType_Legacy);
  EXPECT_EQ(Master->OpenAndConfigure(), 0u);
  EXPECT_THAT(Calls(),
              ElementsAre("EdsOpenSession(cam1)", "EdsSetPropertyData(cam1, 0xb, 0, 4, 2)"));

  TestSdk::ClearCalls();
  TestSdk::Script("EdsSetPropertyData", {EdsResult_DeviceBusy});
  EXPECT_EQ(Master->OpenAndConfigure(), EdsResult_DeviceBusy);
}

TEST_F(TControllerTest, FailedSessionOpenStopsAndIsNotClosedLater) {
  for (EdsUInt32 subType : {1u, 0u}) {
    TestSdk::Reset();
    Start(subType);
    TestSdk::Script("EdsOpenSession", {EdsResult_DeviceBusy});
    EXPECT_EQ(Master->OpenAndConfigure(), EdsResult_DeviceBusy) << "subtype " << subType;
    EXPECT_FALSE(Master->IsSessionOpen());
    EXPECT_THAT(Calls(), ElementsAre("EdsOpenSession(cam1)"));
    TestSdk::ClearCalls();
    Master.reset();
    EXPECT_THAT(Calls(), ElementsAre("EdsTerminateSDK()"));
  }
}

TEST_F(TControllerTest, FailedCapacityStillUnlocksAndIsReturned) {
  Start(1);
  TestSdk::Script("EdsSetCapacity", {EdsResult_NotSupported});
  EXPECT_EQ(Master->OpenAndConfigure(), EdsResult_NotSupported);
  EXPECT_EQ(Calls().back(), "EdsSendStatusCommand(cam1, 1, 0)");
  EXPECT_EQ(TestSdk::CallCount("EdsSendStatusCommand"), 2);
}

TEST_F(TControllerTest, OpenAndConfigureIgnoresTheUnlockResult) {
  Start(1);
  TestSdk::Script("EdsSendStatusCommand", {EdsResult_Ok, EdsResult_DeviceBusy});
  EXPECT_EQ(Master->OpenAndConfigure(), 0u);
  EXPECT_EQ(TestSdk::CallCount("EdsSendStatusCommand"), 2);
}

TEST_F(TControllerTest, FailedLockSkipsCapacityAndUnlock) {
  Start(1);
  TestSdk::Script("EdsSendStatusCommand", {EdsResult_DeviceBusy});
  EXPECT_EQ(Master->OpenAndConfigure(), EdsResult_DeviceBusy);
  EXPECT_THAT(Calls(), ElementsAre("EdsOpenSession(cam1)", "EdsSetPropertyData(cam1, 0xb, 0, 4, 2)",
                                   "EdsSendStatusCommand(cam1, 0, 0)"));
}

TEST_F(TControllerTest, FailedSaveToOnCurrentCameraSendsNoLock) {
  Start(1);
  TestSdk::Script("EdsSetPropertyData", {EdsResult_DeviceBusy});
  EXPECT_EQ(Master->OpenAndConfigure(), EdsResult_DeviceBusy);
  EXPECT_TRUE(Master->IsSessionOpen());
  EXPECT_THAT(Calls(),
              ElementsAre("EdsOpenSession(cam1)", "EdsSetPropertyData(cam1, 0xb, 0, 4, 2)"));
}

// ApplySaveToHost.

TEST_F(TControllerTest, ApplySaveToHostOnCurrentCameraIsTheSaveToAlone) {
  Start(1);
  EXPECT_EQ(Master->ApplySaveToHost(), 0u);
  EXPECT_THAT(Calls(), ElementsAre("EdsSetPropertyData(cam1, 0xb, 0, 4, 2)"));
  TestSdk::Script("EdsSetPropertyData", {EdsResult_DeviceBusy});
  EXPECT_EQ(Master->ApplySaveToHost(), EdsResult_DeviceBusy);
}

TEST_F(TControllerTest, ApplySaveToHostOnLegacyReturnsTheUnlockResult) {
  Start(EdsDeviceSubType_Legacy);
  TestSdk::Script("EdsSendStatusCommand", {EdsResult_Ok, EdsResult_CommunicationError});
  EXPECT_EQ(Master->ApplySaveToHost(), EdsResult_CommunicationError);
  EXPECT_THAT(Calls(), ElementsAre("EdsSendStatusCommand(cam1, 0, 0)",
                                   "EdsSetPropertyData(cam1, 0xb, 0, 4, 2)",
                                   "EdsSendStatusCommand(cam1, 1, 0)"));
}

TEST_F(TControllerTest, ApplySaveToHostOnLegacyWithFailedLockSendsNothingMore) {
  Start(EdsDeviceSubType_Legacy);
  TestSdk::Script("EdsSendStatusCommand", {EdsResult_DeviceBusy});
  EXPECT_EQ(Master->ApplySaveToHost(), EdsResult_DeviceBusy);
  EXPECT_THAT(Calls(), ElementsAre("EdsSendStatusCommand(cam1, 0, 0)"));
}

TEST_F(TControllerTest, ApplySaveToHostOnLegacyUnlocksAfterAFailedSaveTo) {
  Start(EdsDeviceSubType_Legacy);
  TestSdk::Script("EdsSetPropertyData", {EdsResult_DeviceBusy});
  TestSdk::Script("EdsSendStatusCommand", {EdsResult_Ok, EdsResult_CommunicationError});
  EXPECT_EQ(Master->ApplySaveToHost(), EdsResult_DeviceBusy);
  EXPECT_EQ(Calls().back(), "EdsSendStatusCommand(cam1, 1, 0)");
}

// TakePicture.

TEST_F(TControllerTest, TakePictureOnCurrentCameraIsTheCommandAlone) {
  Start(1);
  EXPECT_EQ(Master->TakePicture(), 0u);
  EXPECT_THAT(Calls(), ElementsAre("EdsSendCommand(cam1, 0, 0)"));
  TestSdk::Script("EdsSendCommand", {EdsResult_DeviceBusy});
  EXPECT_EQ(Master->TakePicture(), EdsResult_DeviceBusy);
}

TEST_F(TControllerTest, TakePictureOnLegacyTellsAFailedUnlockFromARefusedShutter) {
  Start(EdsDeviceSubType_Legacy);
  EdsError unlock = 99;
  EXPECT_EQ(Master->TakePicture(&unlock), 0u);
  EXPECT_EQ(unlock, 0u);
  EXPECT_THAT(Calls(), ElementsAre("EdsSendStatusCommand(cam1, 0, 0)", "EdsSendCommand(cam1, 0, 0)",
                                   "EdsSendStatusCommand(cam1, 1, 0)"));
  // The shot was accepted: only the unlock failed.
  TestSdk::Script("EdsSendStatusCommand", {EdsResult_Ok, EdsResult_CommunicationError});
  EXPECT_EQ(Master->TakePicture(&unlock), 0u);
  EXPECT_EQ(unlock, EdsResult_CommunicationError);
  TestSdk::Script("EdsSendCommand", {EdsResult_DeviceBusy});
  EXPECT_EQ(Master->TakePicture(&unlock), EdsResult_DeviceBusy);
  EXPECT_EQ(unlock, 0u);
}

TEST_F(TControllerTest, TakePictureOnLegacyWithFailedLockSendsNoCommand) {
  Start(EdsDeviceSubType_Legacy);
  TestSdk::Script("EdsSendStatusCommand", {EdsResult_DeviceBusy});
  EXPECT_EQ(Master->TakePicture(), EdsResult_DeviceBusy);
  EXPECT_THAT(Calls(), ElementsAre("EdsSendStatusCommand(cam1, 0, 0)"));
}

TEST_F(TControllerTest, TakePictureOnLegacyReportsARefusedShutterDespiteGoodUnlock) {
  Start(EdsDeviceSubType_Legacy);
  TestSdk::Script("EdsSendCommand", {EdsResult_DeviceBusy});
  EXPECT_EQ(Master->TakePicture(), EdsResult_DeviceBusy);
  EXPECT_EQ(Calls().back(), "EdsSendStatusCommand(cam1, 1, 0)");
}

// RegisterHandlers.

TEST_F(TControllerTest, RegisterHandlersGivesTheWindowAndSessionAsContext) {
  Start(1);
  EXPECT_EQ(Master->RegisterHandlers(), 0u);
  EXPECT_THAT(Calls(), ElementsAre("EdsSetPropertyEventHandler(cam1, 0x100, fn, " + Ctx() + ")",
                                   "EdsSetObjectEventHandler(cam1, 0x200, fn, " + Ctx() + ")"));
  EXPECT_EQ(TestSdk::PropertyHandler(), &OnPropertyEvent);
  EXPECT_EQ(TestSdk::ObjectHandler(), &OnObjectEvent);
  EXPECT_EQ(TestSdk::PropertyContext(), TestSdk::ObjectContext());
  const auto* context = static_cast<const TCameraEventContext*>(TestSdk::ObjectContext());
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(context->Window, Window);
  EXPECT_EQ(context->Session, Master->GetSession());
}

TEST_F(TControllerTest, RegisterHandlersStopsAtAFailedPropertyHandler) {
  Start(1);
  TestSdk::Script("EdsSetPropertyEventHandler", {EdsResult_NotSupported});
  EXPECT_EQ(Master->RegisterHandlers(), EdsResult_NotSupported);
  EXPECT_EQ(TestSdk::CallCount("EdsSetObjectEventHandler"), 0);

  TestSdk::Script("EdsSetObjectEventHandler", {EdsResult_InternalError});
  EXPECT_EQ(Master->RegisterHandlers(), EdsResult_InternalError);
}

// DownloadItem.

TEST_F(TDownloadTest, WritesThePictureUnderTheCameraName) {
  const EdsDirectoryItemRef item = TestSdk::AddItem("IMG_0001.JPG", "jpeg!");
  EXPECT_EQ(Master->DownloadItem(item, Dir.string(), OutName), 0u);
  const std::string path = (Dir / "IMG_0001.JPG").string();
  EXPECT_THAT(Calls(), ElementsAre("EdsGetDirectoryItemInfo(item1)",
                                   "EdsCreateFileStream(\"" + path + "\", 0, 2)",
                                   "EdsSetProgressCallback(stream1, fn, 2, " + Ctx() + ")",
                                   "EdsDownload(item1, 5, stream1)", "EdsDownloadComplete(item1)",
                                   "EdsRelease(stream1)", "EdsRelease(item1)"));
  EXPECT_EQ(OutName, "IMG_0001.JPG");
  EXPECT_EQ(ReadFile(path), "jpeg!");
  EXPECT_EQ(TestSdk::ProgressCallback(), &OnDownloadProgress);
  EXPECT_EQ(TestSdk::ReleaseCount(item), 1);
  EXPECT_EQ(TestSdk::OpenStreamCount(), 0);
}

TEST_F(TDownloadTest, DirectoryEndingInDelimiterGetsNoSecondOne) {
  const EdsDirectoryItemRef item = TestSdk::AddItem("IMG_0002.JPG", "x");
  EXPECT_EQ(Master->DownloadItem(item, Dir.string() + "/", OutName), 0u);
  EXPECT_EQ(TestSdk::StreamPath(TestSdk::Streams().at(0)), Dir.string() + "/IMG_0002.JPG");
}

TEST_F(TDownloadTest, TakenNameGetsTheFirstFreeNameBesideItAndOlderFilesStay) {
  WriteFile(Dir / "IMG_0003.JPG", "an older and longer picture");
  WriteFile(Dir / "IMG_0003_2.JPG", "the second older picture");
  fs::create_symlink(Dir / "gone", Dir / "IMG_0003_3.JPG");
  const EdsDirectoryItemRef item = TestSdk::AddItem("IMG_0003.JPG", "new");
  std::string cameraName;
  EXPECT_EQ(Master->DownloadItem(item, Dir.string(), OutName, nullptr, &cameraName), 0u);
  EXPECT_EQ(OutName, "IMG_0003_4.JPG");
  EXPECT_EQ(cameraName, "IMG_0003.JPG");
  EXPECT_EQ(ReadFile(Dir / "IMG_0003_4.JPG"), "new");
  EXPECT_EQ(ReadFile(Dir / "IMG_0003.JPG"), "an older and longer picture");
  EXPECT_EQ(ReadFile(Dir / "IMG_0003_2.JPG"), "the second older picture");
  EXPECT_FALSE(fs::exists(Dir / "gone"));

  // Without an extension the number goes at the end; a leading dot is no extension.
  for (const char* name : {"scan", ".scan"}) {
    WriteFile(Dir / name, "old");
    Master->DownloadItem(TestSdk::AddItem(name, "x"), Dir.string(), OutName);
    EXPECT_EQ(OutName, std::string(name) + "_2");
  }
}

TEST_F(TDownloadTest, NameTakenAfterTheLookIsLeftAloneAndTheNextFreeOneTaken) {
  const EdsDirectoryItemRef item = TestSdk::AddItem("IMG_0009.JPG", "new");
  // The exclusive creation is the guard, not the look before it.
  TestSdk::Script("EdsCreateFileStream", {EdsResult_FileAlreadyExists});
  EXPECT_EQ(Master->DownloadItem(item, Dir.string(), OutName), 0u);
  EXPECT_EQ(OutName, "IMG_0009_2.JPG");
  EXPECT_EQ(TestSdk::CallCount("EdsCreateFileStream"), 2);
  EXPECT_EQ(ReadFile(Dir / "IMG_0009_2.JPG"), "new");
}

TEST_F(TDownloadTest, DownloadsTheSizeTheRecordGives) {
  const EdsDirectoryItemRef item = TestSdk::AddItem(TestSdk::MakeItemInfo("a.jpg", 3), "abcdef");
  EXPECT_EQ(Master->DownloadItem(item, Dir.string(), OutName), 0u);
  EXPECT_EQ(TestSdk::CallTexts().at(3), "EdsDownload(item1, 3, stream1)");
  EXPECT_EQ(ReadFile(Dir / "a.jpg"), "abc");
}

TEST_F(TDownloadTest, NameWithoutNulIsCutAt256Characters) {
  EdsDirectoryItemInfo info = TestSdk::MakeItemInfo("", 1);
  std::fill(std::begin(info.FileName), std::end(info.FileName), 'n');
  const EdsDirectoryItemRef item = TestSdk::AddItem(info, "x");
  Master->DownloadItem(item, Dir.string(), OutName);
  EXPECT_EQ(OutName, std::string(256, 'n'));
}

TEST_F(TDownloadTest, UnreadableItemIsReleasedAndKeepsTheOutName) {
  const EdsDirectoryItemRef item = TestSdk::AddItem("IMG_0004.JPG", "x");
  TestSdk::Script("EdsGetDirectoryItemInfo", {EdsResult_CommunicationError});
  EXPECT_EQ(Master->DownloadItem(item, Dir.string(), OutName), EdsResult_CommunicationError);
  EXPECT_THAT(Calls(), ElementsAre("EdsGetDirectoryItemInfo(item1)", "EdsRelease(item1)"));
  EXPECT_EQ(OutName, "before");
}

TEST_F(TDownloadTest, FailedStreamCreationSkipsTheRestAndLeavesTheOldFile) {
  WriteFile(Dir / "IMG_0005.JPG", "old");
  const EdsDirectoryItemRef item = TestSdk::AddItem("IMG_0005.JPG", "new");
  TestSdk::Script("EdsCreateFileStream", {EdsResult_FileOpenError});
  EXPECT_EQ(Master->DownloadItem(item, Dir.string(), OutName), EdsResult_FileOpenError);
  EXPECT_THAT(Calls(), ElementsAre("EdsGetDirectoryItemInfo(item1)",
                                   "EdsCreateFileStream(\"" + (Dir / "IMG_0005_2.JPG").string() +
                                       "\", 0, 2)",
                                   "EdsRelease(item1)"));
  EXPECT_EQ(OutName, "IMG_0005_2.JPG");
  EXPECT_EQ(ReadFile(Dir / "IMG_0005.JPG"), "old");
}

// A step after the stream's creation fails.
class TDownloadStepTest : public TDownloadTest,
                          public ::testing::WithParamInterface<const char*> {};

TEST_P(TDownloadStepTest, SkipsLaterStepsReleasesBothAndLeavesNoFile) {
  const std::string failing = GetParam();
  WriteFile(Dir / "IMG_0006.JPG", "an older picture");
  WriteFile(Dir / "other.jpg", "keep");
  const EdsDirectoryItemRef item = TestSdk::AddItem("IMG_0006.JPG", "a long new picture");
  TestSdk::Script(failing, {EdsResult_CommunicationError});

  EXPECT_EQ(Master->DownloadItem(item, Dir.string(), OutName), EdsResult_CommunicationError);

  std::vector<std::string> expected = {"EdsSetProgressCallback", "EdsDownload",
                                       "EdsDownloadComplete"};
  expected.erase(std::find(expected.begin(), expected.end(), failing) + 1, expected.end());
  std::vector<std::string> called;
  for (const TestSdk::TCall& call : TestSdk::Calls()) called.push_back(call.Function);
  expected.insert(expected.begin(), {"EdsGetDirectoryItemInfo", "EdsCreateFileStream"});
  expected.insert(expected.end(), {"EdsRelease", "EdsRelease"});
  EXPECT_EQ(called, expected);
  EXPECT_EQ(TestSdk::ReleaseCount(TestSdk::Streams().at(0)), 1);
  EXPECT_EQ(TestSdk::ReleaseCount(item), 1);
  // Only this download's own file goes; the older picture of that name stays as it was.
  EXPECT_EQ(OutName, "IMG_0006_2.JPG");
  EXPECT_FALSE(fs::exists(Dir / "IMG_0006_2.JPG"));
  EXPECT_EQ(ReadFile(Dir / "IMG_0006.JPG"), "an older picture");
  EXPECT_EQ(ReadFile(Dir / "other.jpg"), "keep");
}

INSTANTIATE_TEST_SUITE_P(Steps, TDownloadStepTest,
                         ::testing::Values("EdsSetProgressCallback", "EdsDownload"));

TEST_F(TDownloadTest, FailedCompletionAfterEveryByteKeepsTheFile) {
  const EdsDirectoryItemRef item = TestSdk::AddItem("IMG_0007.JPG", "a whole picture");
  TestSdk::Script("EdsDownloadComplete", {EdsResult_CommunicationError});
  EdsError complete = 0;
  EXPECT_EQ(Master->DownloadItem(item, Dir.string(), OutName, &complete), 0u);
  EXPECT_EQ(complete, EdsResult_CommunicationError);
  EXPECT_EQ(OutName, "IMG_0007.JPG");
  EXPECT_EQ(ReadFile(Dir / "IMG_0007.JPG"), "a whole picture");
  EXPECT_EQ(TestSdk::ReleaseCount(item), 1);
  EXPECT_EQ(TestSdk::OpenStreamCount(), 0);
}

// Camera file names that would leave the directory or cannot be a plain entry.
class THostileNameTest : public TDownloadTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(THostileNameTest, IsRefusedWithNothingWritten) {
  const fs::path inner = Dir / "inner";
  fs::create_directory(inner);
  const EdsDirectoryItemRef item = TestSdk::AddItem(GetParam(), "payload");

  EXPECT_EQ(Master->DownloadItem(item, inner.string(), OutName), EdsResult_InvalidFileName);
  EXPECT_THAT(Calls(), ElementsAre("EdsGetDirectoryItemInfo(item1)", "EdsRelease(item1)"));
  EXPECT_EQ(OutName, "before");
  EXPECT_THAT(Entries(Dir), ElementsAre(inner));
}

INSTANTIATE_TEST_SUITE_P(Names, THostileNameTest,
                         ::testing::Values("../x.jpg", "a/b.jpg", "..", ".", "", "a\\b.jpg",
                                           "a\x01"
                                           "b.jpg",
                                           "line\n.jpg", "del\x7f.jpg"));

TEST_F(TDownloadTest, AcceptsNamesBeyondAscii) {
  const EdsDirectoryItemRef item = TestSdk::AddItem("sn\xC3\xADmek..1.jpg", "x");
  EXPECT_EQ(Master->DownloadItem(item, Dir.string(), OutName), 0u);
  EXPECT_TRUE(fs::exists(Dir / "sn\xC3\xADmek..1.jpg"));
}

// The event bridge.

class TReceiver : public QObject {
 public:
  TReceiver() : Handle(AllocateWindowHandle(this)), FContext{Handle, 5} {}
  ~TReceiver() override { ReleaseWindowHandle(Handle); }

  // Everything posted so far, after the loop has delivered it.
  std::vector<TMsg> Take() {
    QCoreApplication::processEvents();
    return std::exchange(Received, {});
  }

  EdsVoid* Context() { return &FContext; }

  const HWND Handle;
  std::vector<TMsg> Received;
  std::vector<std::thread::id> Threads;

 protected:
  bool event(QEvent* Event) override {
    if (Event->type() != TMessageEvent::EventType()) return QObject::event(Event);
    Received.push_back(static_cast<TMessageEvent*>(Event)->Msg);
    Threads.push_back(std::this_thread::get_id());
    return true;
  }

 private:
  TCameraEventContext FContext;
};

MATCHER_P3(IsMessage, Number, WParam, LParam, "") {
  return arg.message == UINT(Number) && arg.wParam == WPARAM(WParam) &&
         arg.lParam == LPARAM(LParam);
}

TEST(EventBridge, PropertyEventPostsOnlyWatchedChanges) {
  TReceiver window;
  std::vector<TMsg> expected;
  for (EdsUInt32 event : {0x100u, 0x101u, 0x102u, 0x103u}) {
    for (EdsUInt32 property :
         {0x0Bu, 0x400u, 0x401u, 0x402u, 0x403u, 0x404u, 0x405u, 0x406u, 0x407u}) {
      EXPECT_EQ(OnPropertyEvent(event, property, 9, window.Context()), 0u);
      const bool watched =
          property == 0x400 || property == 0x402 || property == 0x405 || property == 0x406;
      if ((event == 0x101 || event == 0x102) && watched)
        expected.push_back({window.Handle, CameraPropertyMessage, event, LPARAM(property)});
    }
  }
  const std::vector<TMsg> received = window.Take();
  ASSERT_EQ(received.size(), 8u);
  for (std::size_t i = 0; i < received.size(); ++i) {
    EXPECT_EQ(received[i].hwnd, window.Handle);
    EXPECT_THAT(received[i], IsMessage(1025, expected[i].wParam, expected[i].lParam));
  }
}

TEST(EventBridge, ObjectEventPostsOnlyTransferRequests) {
  TestSdk::Reset();
  TReceiver window;
  const EdsDirectoryItemRef item = TestSdk::AddItem("IMG.JPG", "x");
  for (EdsUInt32 event : {0x200u, 0x201u, 0x204u, 0x207u, 0x209u})
    EXPECT_EQ(OnObjectEvent(event, item, window.Context()), 0u);
  EXPECT_THAT(window.Take(), IsEmpty());

  EXPECT_EQ(OnObjectEvent(0x208, item, window.Context()), 0u);
  // wParam names the session.
  EXPECT_THAT(window.Take(), ElementsAre(IsMessage(1026, 5, reinterpret_cast<LPARAM>(item))));
  // The reference belongs to whoever handles the message.
  EXPECT_THAT(TestSdk::CallTexts(), IsEmpty());
  TestSdk::Reset();
}

TEST(EventBridge, EveryProgressCallPostsAndTheCancelFlagIsOnlyRead) {
  TReceiver window;
  const std::vector<std::pair<EdsUInt32, EdsBool>> calls = {{0, 0}, {50, 0}, {50, 1}, {100, -1}};
  for (auto [percent, flag] : calls) {
    EdsBool cancel = flag;
    EXPECT_EQ(OnDownloadProgress(percent, window.Context(), &cancel), 0u);
    EXPECT_EQ(cancel, flag);
  }
  EXPECT_THAT(window.Take(), ElementsAre(IsMessage(1027, 0, 0), IsMessage(1027, 50, 0),
                                         IsMessage(1027, 50, 1), IsMessage(1027, 100, -1)));
}

TEST(EventBridge, HandlersReturnZeroWhenTheWindowIsGone) {
  TCameraEventContext dead;
  {
    TReceiver window;
    dead.Window = window.Handle;
  }
  EdsBool cancel = 0;
  for (EdsVoid* context : {static_cast<EdsVoid*>(&dead), static_cast<EdsVoid*>(nullptr)}) {
    EXPECT_EQ(OnPropertyEvent(0x101, 0x402, 0, context), 0u);
    EXPECT_EQ(OnObjectEvent(0x208, nullptr, context), 0u);
    EXPECT_EQ(OnDownloadProgress(10, context, &cancel), 0u);
  }
}

TEST(EventBridge, PostsFromAnSdkThreadArriveOnTheGuiThread) {
  TReceiver window;
  std::thread sdk([&window] {
    EdsBool cancel = 0;
    OnPropertyEvent(0x101, 0x406, 0, window.Context());
    OnObjectEvent(0x208, nullptr, window.Context());
    OnDownloadProgress(30, window.Context(), &cancel);
  });
  sdk.join();
  EXPECT_THAT(window.Take(), ElementsAre(IsMessage(1025, 0x101, 0x406), IsMessage(1026, 5, 0),
                                         IsMessage(1027, 30, 0)));
  for (auto id : window.Threads) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST(EventBridge, RegisteredHandlersReachTheControllersWindow) {
  TestSdk::Reset();
  TReceiver window;
  TestSdk::AddCamera("Camera One", 1);
  {
    TAppMaster master(window.Handle);
    ASSERT_EQ(master.RegisterHandlers(), 0u);
    const EdsDirectoryItemRef item = TestSdk::AddItem("IMG.JPG", "x");
    TestSdk::FirePropertyEvent(0x102, 0x405);
    TestSdk::FireObjectEvent(0x208, item);
    EXPECT_THAT(window.Take(),
                ElementsAre(IsMessage(1025, 0x102, 0x405),
                            IsMessage(1026, master.GetSession(), reinterpret_cast<LPARAM>(item))));

    // The progress callback is registered on the stream during a download.
    std::string name;
    TestSdk::Script("EdsDownload", {EdsResult_CommunicationError});
    master.DownloadItem(item, fs::temp_directory_path().string(), name);
    TestSdk::FireProgress(42);
    EXPECT_THAT(window.Take(), ElementsAre(IsMessage(1027, 42, 0)));
  }
  TestSdk::Reset();
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
