#include "link/device_watch.h"

#include <libudev.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cstring>

namespace ostrel {

DeviceWatch::DeviceWatch(const std::string& virtualDir, QObject* parent)
    : QObject(parent), virtualDir_(virtualDir) {
  setUpUdev();
  setUpFolderWatch();
}

DeviceWatch::~DeviceWatch() {
  delete udevNotifier_;
  delete inotifyNotifier_;
  if (monitor_ != nullptr) udev_monitor_unref(monitor_);
  if (udev_ != nullptr) udev_unref(udev_);
  if (inotifyFd_ >= 0) ::close(inotifyFd_);  // drops the watch too
}

void DeviceWatch::setUpUdev() {
  udev_ = udev_new();
  if (udev_ == nullptr) return;
  monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
  if (monitor_ == nullptr ||
      udev_monitor_filter_add_match_subsystem_devtype(monitor_, "tty", nullptr) < 0 ||
      udev_monitor_enable_receiving(monitor_) < 0) {
    if (monitor_ != nullptr) udev_monitor_unref(monitor_);
    monitor_ = nullptr;
    return;
  }
  udevNotifier_ = new QSocketNotifier(udev_monitor_get_fd(monitor_), QSocketNotifier::Read, this);
  QObject::connect(udevNotifier_, &QSocketNotifier::activated, this, [this] { readUdev(); });
}

void DeviceWatch::setUpFolderWatch() {
  if (virtualDir_.empty()) return;
  folderProblem_ = makePortFolder(virtualDir_);
  if (!folderProblem_.empty()) return;
  if (inotifyFd_ < 0) {
    inotifyFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFd_ < 0) return;
    inotifyNotifier_ = new QSocketNotifier(inotifyFd_, QSocketNotifier::Read, this);
    QObject::connect(inotifyNotifier_, &QSocketNotifier::activated, this,
                     [this] { readInotify(); });
  }
  watch_ = ::inotify_add_watch(
      inotifyFd_, virtualDir_.c_str(),
      IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR | IN_DONT_FOLLOW);
}

void DeviceWatch::readUdev() {
  udev_device* dev = udev_monitor_receive_device(monitor_);
  if (dev == nullptr) return;
  const char* action = udev_device_get_action(dev);
  uint32_t code = 0;
  if (action != nullptr && std::strcmp(action, "add") == 0) code = kDeviceArrival;
  if (action != nullptr && std::strcmp(action, "remove") == 0) code = kDeviceRemoveComplete;
  udev_device_unref(dev);
  if (code != 0) notify(code);
}

void DeviceWatch::readInotify() {
  alignas(inotify_event) char buf[4096];
  for (;;) {
    const ssize_t n = ::read(inotifyFd_, buf, sizeof buf);
    if (n <= 0) break;
    bool folderGone = false;
    for (ssize_t off = 0; off + ssize_t(sizeof(inotify_event)) <= n;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
      off += ssize_t(sizeof(inotify_event) + ev->len);
      if (ev->mask & (IN_CREATE | IN_MOVED_TO)) notify(kDeviceArrival);
      if (ev->mask & (IN_DELETE | IN_MOVED_FROM)) notify(kDeviceRemoveComplete);
      if (ev->mask & IN_IGNORED) folderGone = true;
    }
    if (folderGone) {
      // The folder itself was removed: make it again and watch the new one.
      watch_ = -1;
      setUpFolderWatch();
    }
  }
}

void DeviceWatch::notify(uint32_t code) {
  if (!OnDeviceChange) return;
  const auto handler = OnDeviceChange;  // may be reassigned inside
  handler(code);
}

}  // namespace ostrel
