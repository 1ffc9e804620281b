// The libgphoto2 backend meeting a USB camera that it cannot open: another
// program holds it, or its device node is denied to this user. libgphoto2's
// detection and session start are replaced in this program by the results
// such a camera gives (one on "usb:001,005"); the device node, its record and
// the process holding it are files and a process of this test.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gphoto2/gphoto2.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "platform/Application.h"
#include "platform/Widgets.h"
#include "sdk/CameraBackend.h"
#include "sdk/CameraProblems.h"
#include "sdk/gphoto2/Gphoto2Backend.h"
#include "session/Koordinator.h"
#include "tests/support/OwnHome.h"
#include "tests/support/TestFiles.h"

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {
// What libgphoto2 gives when the session starts.
int OpenResult = GP_OK;
}  // namespace

extern "C" int gp_abilities_list_detect(CameraAbilitiesList*, GPPortInfoList*, CameraList* List,
                                        GPContext*) {
  return gp_list_append(List, "USB PTP Class Camera", "usb:001,005");
}

extern "C" int gp_camera_init(Camera*, GPContext*) {
  return OpenResult;
}

namespace {

std::string FirstLine(const fs::path& Path) {
  std::ifstream file(Path);
  std::string line;
  std::getline(file, line);
  return line;
}

class TUsbCameraTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = Station::MakeTempDirectory("corvalet-usb-");
    Node = Dir / "dev" / "001" / "005";
    fs::create_directories(Node.parent_path());
    Station::WriteFile(Node, "");
    // The camera's record, as the kernel lists it.
    const fs::path record = Dir / "sys" / "1-2";
    fs::create_directories(record);
    for (const auto& [name, value] :
         {std::pair{"busnum", "1"}, std::pair{"devnum", "5"}, std::pair{"idVendor", "04a9"},
          std::pair{"idProduct", "3218"}})
      Station::WriteFile(record / name, std::string(value) + "\n");
    TGphoto2Cameras cameras;
    cameras.UsbPlaces.Devices = (Dir / "dev").string();
    cameras.UsbPlaces.Records = (Dir / "sys").string();
    Gphoto2ConfigureCameras(cameras);
    UseCameraBackend(&Gphoto2CameraBackend());
    Window = std::make_unique<TForm>();
    Coordinator = std::make_unique<TKoordinator>(nullptr);
    TakeCameraProblems();
  }
  void TearDown() override {
    Coordinator.reset();
    Window.reset();
    UseCameraBackend(nullptr);
    fs::remove_all(Dir);
  }

  // The lines the backend left after a failed connect.
  std::vector<std::string> ConnectFails() {
    EXPECT_FALSE(Coordinator->Connect(Window->Handle()));
    return TakeCameraProblems();
  }

  fs::path Dir, Node;
  std::unique_ptr<TForm> Window;
  std::unique_ptr<TKoordinator> Coordinator;
};

TEST_F(TUsbCameraTest, ACameraHeldByAnotherProgramIsNamedWithTheHolder) {
  OpenResult = GP_ERROR_IO_USB_CLAIM;
  // This process stands for the desktop's camera monitor.
  const int held = open(Node.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(held, 0);
  const std::string self = std::to_string(getpid()) + " (" + FirstLine("/proc/self/comm") + ")";
  EXPECT_THAT(ConnectFails(),
              ElementsAre("Kameru USB PTP Class Camera (usb:001,005) drží jiný program: " + self,
                          HasSubstr("systemctl --user mask --now gvfs-gphoto2-volume-monitor")));
  close(held);
  // Held by no process to be seen: says so, and how to see other users' processes.
  EXPECT_THAT(ConnectFails(),
              ElementsAre(HasSubstr("drží jiný program; proces s otevřeným " + Node.string() +
                                    " nenalezen (proces jiného uživatele ukáže sudo fuser -v " +
                                    Node.string() + ")"),
                          HasSubstr("Ukončete ho")));
}

TEST_F(TUsbCameraTest, ADeniedDeviceNodeNamesTheUdevRuleItNeeds) {
  // libgphoto2 gives a node that cannot be opened as a plain I/O error.
  OpenResult = GP_ERROR_IO;
  ASSERT_EQ(chmod(Node.c_str(), 0), 0);
  // Open to all as /dev/bus/usb is; only the node is closed.
  fs::permissions(Dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                           fs::perms::others_read | fs::perms::others_exec);
  // Root opens anything: the connect runs with an ordinary user's file rights.
  const bool root = geteuid() == 0;
  if (root) {
    setfsgid(65534);
    setfsuid(65534);
  }
  const std::vector<std::string> lines = ConnectFails();
  if (root) {
    setfsuid(0);
    setfsgid(0);
  }
  ASSERT_GE(lines.size(), 2u);
  EXPECT_THAT(lines.front(), HasSubstr("Zařízení kamery " + Node.string() + " nesmí uživatel "));
  EXPECT_THAT(lines.front(), HasSubstr(", ---------)"));
  EXPECT_THAT(lines, ::testing::Contains(
                         "Pravidlo udev do /etc/udev/rules.d/70-corvalet-camera.rules: "
                         "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"04a9\", ATTR{idProduct}==\"3218\", "
                         "MODE=\"0660\", GROUP=\"plugdev\""));
  // A plain I/O error of a node that opens tells nothing more.
  ASSERT_EQ(chmod(Node.c_str(), 0600), 0);
  EXPECT_THAT(ConnectFails(), ::testing::IsEmpty());
}

}  // namespace

int main(int argc, char** argv) {
  return Station::RunTestsWithOwnHome(argc, argv, "corvalet-usb-home-");
}
