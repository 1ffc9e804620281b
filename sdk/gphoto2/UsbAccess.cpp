#include "sdk/gphoto2/UsbAccess.h"

#include <fcntl.h>
#include <gphoto2/gphoto2-port-result.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

bool AllDigits(const std::string& Text) {
  return !Text.empty() && Text.size() <= 9 &&
         Text.find_first_not_of("0123456789") == std::string::npos;
}

// The first line of a small file, "" when it cannot be read.
std::string FirstLine(const fs::path& Path) {
  std::ifstream file(Path);
  std::string line;
  std::getline(file, line);
  return line;
}

std::string UserName(uid_t User) {
  const passwd* entry = getpwuid(User);
  return entry ? entry->pw_name : std::to_string(User);
}

std::string GroupName(gid_t Group) {
  const group* entry = getgrgid(Group);
  return entry ? entry->gr_name : std::to_string(Group);
}

bool InGroup(const std::string& Name) {
  const group* wanted = getgrnam(Name.c_str());
  if (!wanted) return false;
  if (getegid() == wanted->gr_gid) return true;
  std::vector<gid_t> groups(std::size_t(std::max(0, getgroups(0, nullptr))));
  const int count = getgroups(int(groups.size()), groups.data());
  return std::find(groups.begin(), groups.begin() + std::max(0, count), wanted->gr_gid) !=
         groups.begin() + std::max(0, count);
}

// "rw-rw----"
std::string ModeText(mode_t Mode) {
  std::string text;
  for (int shift = 6; shift >= 0; shift -= 3) {
    text += (Mode >> shift) & 4 ? 'r' : '-';
    text += (Mode >> shift) & 2 ? 'w' : '-';
    text += (Mode >> shift) & 1 ? 'x' : '-';
  }
  return text;
}

// The vendor and product ids of the device on Bus and Device, from its record; "" when not found.
std::pair<std::string, std::string> DeviceIds(const std::string& Records, long Bus, long Device) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(Records, error)) {
    const std::string bus = FirstLine(entry.path() / "busnum"),
                      device = FirstLine(entry.path() / "devnum");
    if (AllDigits(bus) && AllDigits(device) && std::stol(bus) == Bus && std::stol(device) == Device)
      return {FirstLine(entry.path() / "idVendor"), FirstLine(entry.path() / "idProduct")};
  }
  return {};
}

std::vector<std::string> DeniedAdvice(const std::string& Node, const struct stat& Info,
                                      const TUsbPlaces& Places, long Bus, long Device) {
  const std::string user = UserName(geteuid()), group = GroupName(Info.st_gid);
  std::vector<std::string> lines = {"Zařízení kamery " + Node + " nesmí uživatel " + user +
                                    " otevřít (" + UserName(Info.st_uid) + ":" + group + ", " +
                                    ModeText(Info.st_mode) + ")"};
  // A group that may read and write the node serves; otherwise a udev rule gives the camera one.
  const bool groupServes = Info.st_gid != 0 && (Info.st_mode & S_IRGRP) && (Info.st_mode & S_IWGRP);
  const std::string ruleGroup = groupServes ? group : "plugdev";
  if (!InGroup(ruleGroup))
    lines.push_back("Přidejte uživatele do skupiny " + ruleGroup + ": sudo usermod -aG " +
                    ruleGroup + " " + user + " (pak se odhlaste a znovu přihlaste)");
  if (!groupServes) {
    auto [vendor, product] = DeviceIds(Places.Records, Bus, Device);
    const bool known = !vendor.empty() && !product.empty();
    lines.push_back(
        "Pravidlo udev do /etc/udev/rules.d/70-corvalet-camera.rules: SUBSYSTEM==\"usb\", "
        "ATTR{idVendor}==\"" +
        (known ? vendor : "VVVV") + "\", ATTR{idProduct}==\"" + (known ? product : "PPPP") +
        "\", MODE=\"0660\", GROUP=\"" + ruleGroup + "\"" +
        (known ? "" : " (čísla výrobce a výrobku kamery ukáže lsusb)"));
    lines.push_back(
        "Pak spusťte sudo udevadm control --reload, kameru odpojte a znovu připojte a stiskněte "
        "Inicializace");
  }
  return lines;
}

}  // namespace

std::string UsbDeviceNode(const std::string& Port, const TUsbPlaces& Places) {
  if (!Port.starts_with("usb:")) return {};
  const std::string numbers = Port.substr(4);
  const auto comma = numbers.find(',');
  if (comma == std::string::npos || !AllDigits(numbers.substr(0, comma)) ||
      !AllDigits(numbers.substr(comma + 1)))
    return {};
  return Places.Devices + "/" + numbers.substr(0, comma) + "/" + numbers.substr(comma + 1);
}

std::vector<std::string> UsbNodeHolders(const std::string& Node, const std::string& Processes) {
  std::vector<std::string> holders;
  struct stat node {};
  if (stat(Node.c_str(), &node) != 0) return holders;
  std::error_code error;
  for (const auto& process : fs::directory_iterator(Processes, error)) {
    const std::string pid = process.path().filename().string();
    if (!AllDigits(pid)) continue;
    std::error_code unreadable;
    for (const auto& descriptor : fs::directory_iterator(process.path() / "fd", unreadable)) {
      struct stat open {};
      // The descriptor's link leads to the file it has open.
      if (stat(descriptor.path().c_str(), &open) != 0 || open.st_dev != node.st_dev ||
          open.st_ino != node.st_ino)
        continue;
      holders.push_back(pid + " (" + FirstLine(process.path() / "comm") + ")");
      break;
    }
  }
  return holders;
}

std::vector<std::string> UsbOpenAdvice(int Result, const std::string& Model,
                                       const std::string& Port, const TUsbPlaces& Places) {
  const std::string node = UsbDeviceNode(Port, Places);
  if (node.empty() || (Result != GP_ERROR_IO && Result != GP_ERROR_IO_USB_CLAIM)) return {};
  const std::string numbers = Port.substr(4);
  const long bus = std::stol(numbers.substr(0, numbers.find(',')));
  const long device = std::stol(numbers.substr(numbers.find(',') + 1));
  struct stat info {};
  if (stat(node.c_str(), &info) != 0) return {};
  // libgphoto2 gives a denied node as a plain I/O error: the node itself tells,
  // opened as libusb opens it (opening claims nothing).
  const int opened = open(node.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (opened >= 0)
    close(opened);
  else if (errno == EACCES || errno == EPERM)
    return DeniedAdvice(node, info, Places, bus, device);
  if (Result != GP_ERROR_IO_USB_CLAIM) return {};
  const std::vector<std::string> holders = UsbNodeHolders(node, Places.Processes);
  std::string held;
  for (const std::string& holder : holders) held += (held.empty() ? "" : ", ") + holder;
  const std::string camera = "Kameru " + Model + " (" + Port + ") drží jiný program";
  return {holders.empty()
              ? camera + "; proces s otevřeným " + node +
                    " nenalezen (proces jiného uživatele ukáže sudo fuser -v " + node + ")"
              : camera + ": " + held,
          "Ukončete ho, nebo kameru odpojte ve správci souborů, a stiskněte Inicializace; aby ji "
          "plocha nebrala sama: systemctl --user mask --now gvfs-gphoto2-volume-monitor"};
}
