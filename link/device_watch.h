// Notices that serial devices arrived or left: a udev monitor on the tty
// subsystem (real USB serial adapters) and a file watch on the virtual-port
// folder (pseudo-terminals the module simulator publishes). Each notice
// reaches OnDeviceChange on the thread that created the watch.
#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <string>

#include "link/port_list.h"

class QSocketNotifier;
struct udev;
struct udev_monitor;

namespace ostrel {

class DeviceWatch : public QObject {
 public:
  static constexpr uint32_t kDeviceArrival = 0x8000;
  static constexpr uint32_t kDeviceRemoveComplete = 0x8004;

  // Creates virtualDir (mode 0700) when it is missing, and watches it only
  // when it is the user's own and nobody else can write to it. A source that
  // cannot be set up (no udev, no inotify, an untrusted folder) is left out;
  // the other still works.
  explicit DeviceWatch(const std::string& virtualDir = defaultVirtualPortDir(),
                       QObject* parent = nullptr);
  ~DeviceWatch() override;
  DeviceWatch(const DeviceWatch&) = delete;
  DeviceWatch& operator=(const DeviceWatch&) = delete;

  bool udevActive() const { return monitor_ != nullptr; }
  bool folderWatchActive() const { return watch_ >= 0; }
  const std::string& virtualDir() const { return virtualDir_; }
  // Why the folder is not watched ("" when it is or there is no folder).
  const std::string& folderProblem() const { return folderProblem_; }

  std::function<void(uint32_t code)> OnDeviceChange;

 private:
  void setUpUdev();
  void setUpFolderWatch();
  void readUdev();
  void readInotify();
  void notify(uint32_t code);

  std::string virtualDir_;
  std::string folderProblem_;
  udev* udev_ = nullptr;
  udev_monitor* monitor_ = nullptr;
  QSocketNotifier* udevNotifier_ = nullptr;
  int inotifyFd_ = -1;
  int watch_ = -1;
  QSocketNotifier* inotifyNotifier_ = nullptr;
};

}  // namespace ostrel
