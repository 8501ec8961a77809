#include "platform/linux/linux_services.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

#include "platform/property_list.h"

namespace tellwyn {
namespace {

constexpr std::string_view kFileErrorDomain = "posix";

// An error carrying errno's value and the system's text for it.
Error systemError(int code) {
  return Error{std::string(kFileErrorDomain), code,
               std::error_code(code, std::generic_category()).message()};
}

// Closes a descriptor on scope exit unless released.
class FdGuard {
 public:
  explicit FdGuard(int fd) : fd_(fd) {}
  ~FdGuard() {
    if (fd_ >= 0) ::close(fd_);
  }
  FdGuard(const FdGuard&) = delete;
  FdGuard& operator=(const FdGuard&) = delete;
  int get() const { return fd_; }
  // Closes now and reports close's own failure as an errno value, 0 if none.
  int close() {
    const int result = ::close(std::exchange(fd_, -1));
    return result == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

int writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return 0;
}

}  // namespace

LinuxBundle::LinuxBundle(std::string_view plistBytes) : dictionary_(parseInfoPlist(plistBytes)) {
  if (!dictionary_) return;
  const auto found = dictionary_->find("CFBundleIdentifier");
  if (found == dictionary_->end()) return;
  if (const auto* text = std::get_if<std::string>(&found->second)) identifier_ = *text;
}

std::optional<std::string> LinuxBundle::executablePath() {
  std::string path(256, '\0');
  for (;;) {
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    if (length < 0) return std::nullopt;
    if (static_cast<std::size_t>(length) < path.size()) {
      path.resize(static_cast<std::size_t>(length));
      return path;
    }
    path.resize(path.size() * 2);  // possibly truncated: try a larger buffer
  }
}

LinuxMicrophoneAuthorization::~LinuxMicrophoneAuthorization() = default;

void LinuxMicrophoneAuthorization::requestAccess(std::function<void(bool granted)> completion) {
  answers_.run([completion = std::move(completion)] { completion(true); });
}

void LinuxWorkspace::openUrl(const std::string&) {}

Status LinuxFileSystem::writeFileAtomically(const std::string& path, const std::string& text) {
  const auto slash = path.rfind('/');
  const std::string directory =
      slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty()) return systemError(EISDIR);

  std::string temporary = directory + (directory.ends_with('/') ? "." : "/.") + name + ".XXXXXX";
  FdGuard fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (fd.get() < 0) return systemError(errno);

  // The temporary file is made private; give the report the usual mode of a
  // new file.
  int failure = ::fchmod(fd.get(), 0644) == 0 ? 0 : errno;
  if (failure == 0) failure = writeAll(fd.get(), text);
  if (failure == 0 && ::fsync(fd.get()) != 0) failure = errno;
  if (const int closeFailure = fd.close(); failure == 0) failure = closeFailure;
  if (failure == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) failure = errno;
  if (failure != 0) {
    ::unlink(temporary.c_str());
    return systemError(failure);
  }

  // Make the rename itself durable; a failure here no longer affects the
  // content a reader sees.
  if (const int dir = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return {};
}

std::unique_ptr<Bundle> makeLinuxBundle(std::string_view plistBytes) {
  return std::make_unique<LinuxBundle>(plistBytes);
}

std::unique_ptr<MicrophoneAuthorization> makeLinuxMicrophoneAuthorization() {
  return std::make_unique<LinuxMicrophoneAuthorization>();
}

std::unique_ptr<Workspace> makeLinuxWorkspace() { return std::make_unique<LinuxWorkspace>(); }

std::unique_ptr<FileSystem> makeLinuxFileSystem() { return std::make_unique<LinuxFileSystem>(); }

}  // namespace tellwyn
