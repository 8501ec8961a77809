#pragma once

#include <string>
#include <vector>

#include "platform/bundle.h"

namespace tellwyn {

// Records every link it is asked to open. The test's thread only.
class FakeWorkspace : public Workspace {
 public:
  void openUrl(const std::string& url) override { openedUrls.push_back(url); }

  std::vector<std::string> openedUrls;
};

}  // namespace tellwyn
