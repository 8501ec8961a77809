#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/answer_threads.h"
#include "platform/bundle.h"
#include "platform/microphone_authorization.h"

namespace tellwyn {

// The bundle of a Linux executable: the information dictionary embedded in
// the image (handed in as property-list bytes), its CFBundleIdentifier, and
// the running executable's absolute path from /proc/self/exe. Immutable after
// construction; any thread.
class LinuxBundle : public Bundle {
 public:
  // Bytes that do not parse give no dictionary and no identifier.
  explicit LinuxBundle(std::string_view plistBytes);

  std::optional<std::string> bundleIdentifier() override { return identifier_; }
  std::optional<std::string> executablePath() override;
  std::optional<InfoDictionary> infoDictionary() override { return dictionary_; }

 private:
  std::optional<InfoDictionary> dictionary_;
  std::optional<std::string> identifier_;
};

// The microphone permission on Linux, where the desktop grants every process
// its sound server: always authorized, and a request answers granted on a
// thread of its own. Any thread; the destructor waits for answers still
// being delivered.
class LinuxMicrophoneAuthorization : public MicrophoneAuthorization {
 public:
  LinuxMicrophoneAuthorization() = default;
  ~LinuxMicrophoneAuthorization() override;
  LinuxMicrophoneAuthorization(const LinuxMicrophoneAuthorization&) = delete;
  LinuxMicrophoneAuthorization& operator=(const LinuxMicrophoneAuthorization&) = delete;

  int authorizationStatus() override { return kMicrophoneAuthorized; }
  void requestAccess(std::function<void(bool granted)> completion) override;

 private:
  AnswerThreads answers_;
};

// Opening a settings link: Linux desktops have no privacy page for the
// microphone or speech recognition, so this does nothing. Any thread.
class LinuxWorkspace : public Workspace {
 public:
  void openUrl(const std::string& url) override;
};

// Writes files through a temporary sibling that is flushed to disk and then
// renamed over the target. Any thread.
class LinuxFileSystem : public FileSystem {
 public:
  Status writeFileAtomically(const std::string& path, const std::string& text) override;
};

std::unique_ptr<Bundle> makeLinuxBundle(std::string_view plistBytes);
std::unique_ptr<MicrophoneAuthorization> makeLinuxMicrophoneAuthorization();
std::unique_ptr<Workspace> makeLinuxWorkspace();
std::unique_ptr<FileSystem> makeLinuxFileSystem();

}  // namespace tellwyn
