#include "platform/linux/pocketsphinx/model_locator.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>
#include <vector>

#ifndef TELLWYN_POCKETSPHINX_MODEL_DIR
#define TELLWYN_POCKETSPHINX_MODEL_DIR "/usr/share/pocketsphinx/model"
#endif

namespace tellwyn {
namespace {

namespace fs = std::filesystem;

std::string lowered(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

std::string uppered(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return out;
}

bool allOf(std::string_view text, int (*test)(int)) {
  return std::all_of(text.begin(), text.end(), [test](unsigned char c) { return test(c) != 0; });
}

bool isFile(const fs::path& path) {
  std::error_code error;
  return fs::is_regular_file(path, error);
}

bool isDirectory(const fs::path& path) {
  std::error_code error;
  return fs::is_directory(path, error);
}

std::optional<fs::path> firstDictionary(const fs::path& dir) {
  std::error_code error;
  std::vector<fs::path> found;
  for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
    if (it->path().extension() == ".dict" && isFile(it->path())) found.push_back(it->path());
  }
  if (found.empty()) return std::nullopt;
  return *std::min_element(found.begin(), found.end());
}

std::optional<ModelFiles> modelNamed(const fs::path& modelDir, const std::string& name) {
  const fs::path dir = modelDir / name;
  const fs::path hmm = dir / name;
  const fs::path lm = dir / (name + ".lm.bin");
  if (!isDirectory(hmm) || !isFile(hmm / "mdef") || !isFile(lm)) return std::nullopt;
  fs::path dict = dir / ("cmudict-" + name + ".dict");
  if (!isFile(dict)) {
    const auto other = firstDictionary(dir);
    if (!other) return std::nullopt;
    dict = *other;
  }
  return ModelFiles{hmm.string(), lm.string(), dict.string()};
}

}  // namespace

LocaleParts parseLocaleIdentifier(std::string_view identifier) {
  // Drop the codeset and the modifier: "en_US.UTF-8", "sr_RS@latin".
  identifier = identifier.substr(0, identifier.find_first_of(".@"));
  if (identifier.empty() || identifier == "C" || identifier == "POSIX") return {"en", "US"};

  std::vector<std::string_view> parts;
  while (!identifier.empty()) {
    const auto cut = identifier.find_first_of("-_");
    parts.push_back(identifier.substr(0, cut));
    identifier = cut == std::string_view::npos ? std::string_view{} : identifier.substr(cut + 1);
  }
  const std::string_view language = parts.front();
  if (language.size() < 2 || language.size() > 3 || !allOf(language, std::isalpha)) {
    return {"en", "US"};
  }
  LocaleParts locale{lowered(language), ""};
  // A region is two letters or three digits; a four-letter script such as
  // "Hans" may come before it.
  for (std::size_t i = 1; i < parts.size(); ++i) {
    const std::string_view part = parts[i];
    if ((part.size() == 2 && allOf(part, std::isalpha)) ||
        (part.size() == 3 && allOf(part, std::isdigit))) {
      locale.region = uppered(part);
      break;
    }
    if (part.size() != 4) break;
  }
  return locale;
}

std::string userLocaleIdentifier(const std::function<const char*(const char* name)>& lookup) {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = lookup(name);
    if (value != nullptr && *value != '\0') return value;
  }
  return {};
}

std::string modelDirectory(const std::function<const char*(const char* name)>& lookup) {
  const char* value = lookup("TELLWYN_MODEL_DIR");
  if (value != nullptr && *value != '\0') return value;
  return TELLWYN_POCKETSPHINX_MODEL_DIR;
}

std::optional<ModelFiles> locateModel(const std::string& modelDir, const LocaleParts& locale) {
  if (locale.language.empty()) return std::nullopt;
  const fs::path dir(modelDir);
  if (!locale.region.empty()) {
    if (auto found = modelNamed(dir, locale.language + "-" + lowered(locale.region))) return found;
  }
  if (auto found = modelNamed(dir, locale.language)) return found;

  // Otherwise any regional model of the language serves, the first by name:
  // "en" and "en_GB" both use "en-us" when that is the only English model.
  std::error_code error;
  std::vector<std::string> names;
  for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.starts_with(locale.language + "-")) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  for (const auto& name : names) {
    if (auto found = modelNamed(dir, name)) return found;
  }
  return std::nullopt;
}

}  // namespace tellwyn
