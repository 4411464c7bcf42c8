#include "link/device_watch.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <filesystem>
#include <functional>

#include "link/pty_pair.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using testing::runEventsFor;
using testing::waitFor;

TEST(DeviceWatch, VirtualFolderLinksArriveAndLeave) {
  QTemporaryDir tmp;
  ASSERT_TRUE(tmp.isValid());
  const fs::path folder = fs::path(tmp.path().toStdString()) / "ostrel-ports";  // not there yet
  DeviceWatch watch(folder.string());
  ASSERT_TRUE(fs::is_directory(folder));
  EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all);
  ASSERT_TRUE(watch.folderWatchActive());
  std::vector<uint32_t> codes;
  watch.OnDeviceChange = [&](uint32_t code) { codes.push_back(code); };

  fs::create_symlink("/dev/pts/1", folder / "sim0");
  ASSERT_TRUE(waitFor([&] { return codes.size() >= 1; }, 5000));
  fs::remove(folder / "sim0");
  ASSERT_TRUE(waitFor([&] { return codes.size() >= 2; }, 5000));
  // A simulator publishing atomically renames its link into place.
  fs::create_symlink("/dev/pts/2", fs::path(tmp.path().toStdString()) / "staged");
  fs::rename(fs::path(tmp.path().toStdString()) / "staged", folder / "sim1");
  ASSERT_TRUE(waitFor([&] { return codes.size() >= 3; }, 5000));
  fs::rename(folder / "sim1", fs::path(tmp.path().toStdString()) / "gone");
  ASSERT_TRUE(waitFor([&] { return codes.size() >= 4; }, 5000));
  runEventsFor(50);
  EXPECT_EQ(codes, (std::vector<uint32_t>{
                       DeviceWatch::kDeviceArrival, DeviceWatch::kDeviceRemoveComplete,
                       DeviceWatch::kDeviceArrival, DeviceWatch::kDeviceRemoveComplete}));
}

TEST(DeviceWatch, FolderRemovedIsMadeAgainAndStillWatched) {
  QTemporaryDir tmp;
  ASSERT_TRUE(tmp.isValid());
  const fs::path folder = fs::path(tmp.path().toStdString()) / "ports";
  DeviceWatch watch(folder.string());
  std::vector<uint32_t> codes;
  watch.OnDeviceChange = [&](uint32_t code) { codes.push_back(code); };
  fs::remove_all(folder);
  ASSERT_TRUE(waitFor([&] { return fs::is_directory(folder) && watch.folderWatchActive(); }, 5000));
  codes.clear();
  fs::create_symlink("/dev/pts/1", folder / "sim0");
  ASSERT_TRUE(waitFor([&] { return !codes.empty(); }, 5000));
  EXPECT_EQ(codes.front(), DeviceWatch::kDeviceArrival);
}

// A folder others can write to, or a link in the folder's place, is not
// watched: the scan would not read it either.
TEST(DeviceWatch, UntrustedFolderIsNotWatched) {
  QTemporaryDir tmp;
  ASSERT_TRUE(tmp.isValid());
  const fs::path root = tmp.path().toStdString();
  fs::create_directory(root / "private");
  fs::permissions(root / "private", fs::perms::owner_all);
  struct Case {
    std::string name;
    std::function<void(const fs::path&)> make;
    std::string problem;
  } cases[] = {
      {"shared",
       [](const fs::path& d) {
         fs::create_directory(d);
         fs::permissions(d, fs::perms::all);
       },
       "group or others can write to it (mode 0777)"},
      {"linked", [&](const fs::path& d) { fs::create_directory_symlink(root / "private", d); },
       "it is a link"},
  };
  for (const Case& c : cases) {
    c.make(root / c.name);
    DeviceWatch watch((root / c.name).string());
    EXPECT_FALSE(watch.folderWatchActive()) << c.name;
    EXPECT_EQ(watch.folderProblem(), c.problem) << c.name;
    int notices = 0;
    watch.OnDeviceChange = [&](uint32_t) { ++notices; };
    fs::create_symlink("/dev/pts/1", root / c.name / "sim0");
    runEventsFor(100);
    EXPECT_EQ(notices, 0) << c.name;
  }
}

}  // namespace
}  // namespace ostrel
