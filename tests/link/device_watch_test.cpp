#include "link/device_watch.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <filesystem>

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

}  // namespace
}  // namespace ostrel
