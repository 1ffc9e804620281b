// Feeds TAppMaster::DownloadItem camera items whose directory record comes from
// the input, through the recording test SDK, into a private directory, and
// checks after every input that the download stayed inside that directory.
//
// Input: byte 0 picks an SDK call to fail (low 3 bits) and whether the directory
// ends in '/' (bit 3); the next 272 bytes are the raw directory item record
// (size, folder flag, group, option, 256 file-name bytes, NUL or not); the rest
// is the item's content. A short input is padded with zero bytes.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "camera/appmaster.h"
#include "tests/support/TestSdk.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t RecordOffset = 1;
constexpr std::size_t ContentOffset = RecordOffset + sizeof(EdsDirectoryItemInfo);
// Longest file name the Linux file systems take.
constexpr std::size_t NameMax = 255;
constexpr EdsError InjectedFault = EdsResult_DeviceBusy;
// Never a name DownloadItem may give back: it holds a control character.
const std::string Untouched = "\x01untouched";

// The calls of a download in their order; index 0 and 6, 7 fail nothing.
const char* const FaultyCall[8] = {nullptr,
                                   "EdsGetDirectoryItemInfo",
                                   "EdsCreateFileStream",
                                   "EdsSetProgressCallback",
                                   "EdsDownload",
                                   "EdsDownloadComplete",
                                   nullptr,
                                   nullptr};

[[noreturn]] void Fail(const std::string& What, const std::string& Name) {
  std::string shown;
  for (const char c : Name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F && c != '\\') {
      shown += c;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      shown += escaped;
    }
  }
  std::fprintf(stderr, "fuzz_download_item: %s (camera name \"%s\")\n", What.c_str(),
               shown.c_str());
  std::abort();
}

// What a camera name must be to become a file in the target directory.
bool IsSafeName(const std::string& Name) {
  if (Name.empty() || Name == "." || Name == "..") return false;
  return std::none_of(Name.begin(), Name.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte == '/' || byte == '\\' || byte < 0x20 || byte == 0x7F;
  });
}

struct TSandbox {
  fs::path Parent;  // private; holds nothing but Target
  fs::path Target;  // where the downloads go

  TSandbox() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/corvalet-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    Parent = pattern;
    Target = Parent / "photos";
    fs::create_directory(Target);
  }
  ~TSandbox() {
    std::error_code ignored;
    fs::remove_all(Parent, ignored);
  }

  std::vector<std::string> Entries(const fs::path& Directory) const {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(Directory))
      names.push_back(entry.path().filename().string());
    return names;
  }

  // Removes whatever a download left, also outside Target.
  void Clean() const {
    for (const fs::directory_entry& entry : fs::directory_iterator(Parent))
      if (entry.path() != Target) fs::remove_all(entry.path());
    for (const fs::directory_entry& entry : fs::directory_iterator(Target))
      fs::remove_all(entry.path());
  }
};

TSandbox& Sandbox() {
  static TSandbox sandbox;
  return sandbox;
}

std::string ReadFile(const fs::path& Path) {
  std::ifstream file(Path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void CheckReferences(EdsDirectoryItemRef Item, const std::string& Name) {
  if (TestSdk::ReleaseCount(Item) != 1)
    Fail("item released " + std::to_string(TestSdk::ReleaseCount(Item)) + " times", Name);
  const std::vector<EdsStreamRef> streams = TestSdk::Streams();
  if (streams.size() > 1) Fail(std::to_string(streams.size()) + " streams created", Name);
  for (EdsStreamRef stream : streams)
    if (TestSdk::ReleaseCount(stream) != 1)
      Fail("stream released " + std::to_string(TestSdk::ReleaseCount(stream)) + " times", Name);
  if (TestSdk::OpenStreamCount() != 0) Fail("a stream is left open", Name);
}

// Nothing beside Target, at most one plain file inside it, named as OutName says.
std::vector<std::string> CheckDirectories(const std::string& OutName, const std::string& Name) {
  const TSandbox& sandbox = Sandbox();
  const std::vector<std::string> beside = sandbox.Entries(sandbox.Parent);
  if (beside.size() != 1 || beside[0] != sandbox.Target.filename().string())
    Fail("an entry was written beside the target directory", Name);
  const std::vector<std::string> files = sandbox.Entries(sandbox.Target);
  if (files.size() > 1) Fail(std::to_string(files.size()) + " entries in the directory", Name);
  if (files.size() == 1) {
    if (!IsSafeName(files[0])) Fail("unsafe file name written", Name);
    if (files[0] != OutName) Fail("file name differs from the name given back", Name);
    if (!fs::is_regular_file(fs::symlink_status(sandbox.Target / files[0])))
      Fail("entry is not a plain file", Name);
  }
  return files;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const TSandbox& sandbox = Sandbox();
  std::vector<std::uint8_t> input(Data, Data + Size);
  if (input.size() < ContentOffset) input.resize(ContentOffset, 0);
  const std::uint8_t control = input[0];
  const char* faulty = FaultyCall[control & 7];
  std::string directory = sandbox.Target.string();
  if ((control & 8) != 0) directory += '/';

  EdsDirectoryItemInfo info;
  std::memcpy(&info, input.data() + RecordOffset, sizeof info);
  const std::string content(input.begin() + ContentOffset, input.end());
  const std::string name(info.FileName, strnlen(info.FileName, sizeof info.FileName));

  TestSdk::Reset();
  TestSdk::AddCamera("Fuzz camera");
  EdsError result = EdsResult_Ok;
  EdsError complete = EdsResult_Ok;
  std::string outName = Untouched;
  EdsDirectoryItemRef item = nullptr;
  {
    TAppMaster master(NullWindow);
    item = TestSdk::AddItem(info, content);
    if (faulty != nullptr) TestSdk::FailAlways(faulty, InjectedFault);
    result = master.DownloadItem(item, directory, outName, &complete);
  }

  CheckReferences(item, name);
  const std::vector<std::string> files = CheckDirectories(outName, name);
  if (result != EdsResult_Ok && !files.empty()) Fail("a failed download left a file", name);

  const bool infoFails = faulty != nullptr && std::strcmp(faulty, "EdsGetDirectoryItemInfo") == 0;
  if (infoFails || !IsSafeName(name)) {
    if (result == EdsResult_Ok) Fail("refused item reported as downloaded", name);
    if (outName != Untouched) Fail("refused item changed the out name", name);
    if (TestSdk::CallCount("EdsCreateFileStream") != 0) Fail("refused item opened a file", name);
    if (!infoFails && result != EdsResult_InvalidFileName)
      Fail("unsafe name gave result " + std::to_string(result), name);
  } else {
    if (outName != name) Fail("out name is not the camera's name", name);
    // A name too long for the file system fails at the stream, before any later step.
    const bool streamFails = faulty != nullptr && std::strcmp(faulty, "EdsCreateFileStream") == 0;
    if (name.size() > NameMax && !streamFails) {
      if (result == EdsResult_Ok) Fail("download under a too long name succeeded", name);
    } else if (faulty != nullptr && std::strcmp(faulty, "EdsDownloadComplete") != 0) {
      if (result != InjectedFault)
        Fail("failure of " + std::string(faulty) + " gave result " + std::to_string(result), name);
    } else {
      // Every byte came: an unconfirmed download keeps its whole file.
      if (faulty != nullptr && complete != InjectedFault)
        Fail("failed completion not reported: " + std::to_string(complete), name);
      if (result != EdsResult_Ok) Fail("sound download failed: " + std::to_string(result), name);
      if (files.size() != 1) Fail("sound download wrote no file", name);
      const std::string expected =
          content.substr(0, std::min<std::size_t>(info.Size, content.size()));
      if (ReadFile(sandbox.Target / files[0]) != expected) Fail("file content differs", name);
    }
  }

  sandbox.Clean();
  return 0;
}
