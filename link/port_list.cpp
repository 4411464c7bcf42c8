#include "link/port_list.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <vector>

#include "link/natural_order.h"

namespace ostrel {

namespace {

namespace fs = std::filesystem;

bool isUsbSerialName(std::string_view name) {
  for (std::string_view prefix : {"ttyACM", "ttyUSB"}) {
    if (name.size() > prefix.size() && name.substr(0, prefix.size()) == prefix) {
      return name.find_first_not_of("0123456789", prefix.size()) == std::string_view::npos;
    }
  }
  return false;
}

std::vector<std::string> usbEntryNames(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (isUsbSerialName(name)) names.push_back(std::move(name));
  }
  sortNatural(names);
  return names;
}

std::string joinPath(const std::string& dir, const std::string& name) {
  if (!dir.empty() && dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

// Opens dir as a folder without following a link in its place and checks the
// folder it got, so what is checked is what is read. Returns -1 and sets
// problem (and err) when dir may not be used.
int openPortFolder(const std::string& dir, std::string& problem, int& err) {
  err = 0;
  problem.clear();
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    err = errno;
    // Something other than a folder is in its place: say what.
    struct stat st {};
    if ((err == ENOTDIR || err == ELOOP) && ::lstat(dir.c_str(), &st) == 0) {
      problem = portFolderProblem(st.st_mode, st.st_uid, ::geteuid());
    }
    if (problem.empty()) problem = std::strerror(err);
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    err = errno;
    problem = std::strerror(err);
  } else {
    problem = portFolderProblem(st.st_mode, st.st_uid, ::geteuid());
  }
  if (problem.empty()) return fd;
  ::close(fd);
  return -1;
}

// A user's name and primary group; found is false when the user database
// does not know the number (the name then says the number).
struct UserEntry {
  std::string name;
  gid_t group = 0;
  bool found = false;
};

UserEntry userEntry(uid_t uid) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
    return {found->pw_name, found->pw_gid, true};
  return {"user " + std::to_string(uid), 0, false};
}

std::string groupName(gid_t gid) {
  std::vector<char> buffer(65536);
  group entry{};
  group* found = nullptr;
  if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
    return found->gr_name;
  return "group " + std::to_string(gid);
}

// Whether the group database lists user (primary group included) in gid.
bool listedInGroup(const std::string& user, gid_t primary, gid_t gid) {
  int count = 64;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  if (::getgrouplist(user.c_str(), primary, groups.data(), &count) < 0) {
    groups.resize(size_t(count));
    if (::getgrouplist(user.c_str(), primary, groups.data(), &count) < 0) return false;
  }
  groups.resize(size_t(count));
  return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

bool groupInThisProcess(gid_t gid) {
  if (::getegid() == gid) return true;
  const int count = ::getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  const int got = ::getgroups(count, groups.data());
  return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) != groups.begin() + got;
}

}  // namespace

std::string portAccessHintText(const PortAccessFacts& f) {
  const std::string start = "No permission to open " + f.path + ": ";
  // Membership of root's group is no remedy anyone should be told to take.
  if (!f.groupMayReadWrite || f.group == "root")
    return start + "only its owner " + f.owner +
           " may use it. Ask the administrator to give the port to a group (a udev rule), "
           "then join that group.";
  if (f.listedInGroup && !f.groupInThisLogin)
    return start + "it belongs to group " + f.group + ", which " + f.user +
           " joined after this login began. Log out and in again.";
  return start + "it belongs to group " + f.group + ". Add " + f.user +
         " to it (sudo usermod -aG " + f.group + " " + f.user + "), then log out and in again.";
}

std::string portAccessHint(const std::string& devicePath) {
  struct stat st {};
  if (::stat(devicePath.c_str(), &st) != 0) return "";
  const UserEntry user = userEntry(::geteuid());
  PortAccessFacts f;
  f.path = devicePath;
  f.user = user.name;
  f.owner = userEntry(st.st_uid).name;
  f.group = groupName(st.st_gid);
  f.groupMayReadWrite = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
  f.groupInThisLogin = groupInThisProcess(st.st_gid);
  f.listedInGroup = user.found && listedInGroup(user.name, user.group, st.st_gid);
  return portAccessHintText(f);
}

std::string defaultVirtualPortDir() {
  // The /tmp fallback is per user: one shared name could be made first by
  // anyone, and its owner would then decide what the scan opens.
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/ostrel-ports";
  return "/tmp/ostrel-ports-" + std::to_string(::geteuid());
}

std::string portFolderProblem(uint32_t mode, uint32_t owner, uint32_t user) {
  if (S_ISLNK(mode)) return "it is a link";
  if (!S_ISDIR(mode)) return "it is not a folder";
  if (owner != user) {
    return "it belongs to user " + std::to_string(owner) + ", not to user " + std::to_string(user);
  }
  if ((mode & (S_IWGRP | S_IWOTH)) != 0) {
    char octal[8];
    std::snprintf(octal, sizeof octal, "%04o", unsigned(mode & 07777));
    return std::string("group or others can write to it (mode ") + octal + ")";
  }
  return "";
}

std::string checkPortFolder(const std::string& dir) {
  std::string problem;
  int err = 0;
  const int fd = openPortFolder(dir, problem, err);
  if (fd >= 0) ::close(fd);
  return problem;
}

std::string makePortFolder(const std::string& dir) {
  if (::mkdir(dir.c_str(), 0700) != 0 && errno == ENOENT) {
    std::error_code ec;
    fs::create_directories(fs::path(dir).parent_path(), ec);
    ::mkdir(dir.c_str(), 0700);
  }
  // Whether it was made here or was there already (perhaps made by someone
  // else a moment earlier), the same check decides.
  return checkPortFolder(dir);
}

std::vector<std::string> listSerialPorts(const std::string& devDir, const std::string& virtualDir,
                                         const PortNote& note) {
  std::vector<std::string> ports;
  for (const std::string& name : usbEntryNames(devDir)) ports.push_back(joinPath(devDir, name));
  if (virtualDir.empty()) return ports;

  auto report = [&note](const std::string& text) {
    if (note) note(text);
  };
  std::string problem;
  int err = 0;
  const int fd = openPortFolder(virtualDir, problem, err);
  if (fd < 0) {
    if (err != ENOENT) report(virtualDir + ": not scanned, " + problem);
    return ports;
  }
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    ::close(fd);
    return ports;
  }
  std::vector<std::string> names;
  while (const dirent* e = ::readdir(dir)) {
    if (e->d_name[0] != '.') names.emplace_back(e->d_name);
  }
  sortNatural(names);
  for (const std::string& name : names) {
    const std::string path = joinPath(virtualDir, name);
    struct stat st {};
    if (::fstatat(::dirfd(dir), name.c_str(), &st, 0) != 0) {
      report(path + ": not probed, " + std::strerror(errno));
    } else if (!S_ISCHR(st.st_mode)) {
      report(path + ": not probed, it is not a character device");
    } else {
      ports.push_back(path);
    }
  }
  ::closedir(dir);
  return ports;
}

}  // namespace ostrel
