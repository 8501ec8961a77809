#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tellwyn {

// The language and region named by a locale identifier such as "en",
// "en-US", "en_US.UTF-8" or "sr_RS@latin": language lower-cased, region
// upper-cased (empty when the identifier names none).
struct LocaleParts {
  std::string language;
  std::string region;

  bool operator==(const LocaleParts&) const = default;
};

// The three files pocketsphinx needs for one language.
struct ModelFiles {
  std::string acousticModelDir;  // the -hmm directory
  std::string languageModel;     // the -lm file
  std::string dictionary;        // the -dict file

  bool operator==(const ModelFiles&) const = default;
};

// Splits a locale identifier into language and region. An empty identifier,
// "C" and "POSIX" mean American English; so does anything without a
// language. Pure; any thread.
LocaleParts parseLocaleIdentifier(std::string_view identifier);

// The user's locale identifier from the C library environment: the first
// non-empty of LC_ALL, LC_MESSAGES and LANG, or empty when none is set.
// `lookup` reads one variable (std::getenv in the product).
std::string userLocaleIdentifier(const std::function<const char*(const char* name)>& lookup);

// The directory holding pocketsphinx's language models: $TELLWYN_MODEL_DIR
// when set and non-empty, else the one the library was installed with.
std::string modelDirectory(const std::function<const char*(const char* name)>& lookup);

// Finds the model for `locale` under `modelDir`: first "<language>-<region>",
// then "<language>", then the first "<language>-*" in name order (another
// region of the same language). A model
// named N is the directory <modelDir>/N holding the acoustic model directory
// N/ (with its mdef file), the language model N.lm.bin and the dictionary
// cmudict-N.dict (or else the first *.dict there). None when nothing fits.
// Touches only the file system; any thread.
std::optional<ModelFiles> locateModel(const std::string& modelDir, const LocaleParts& locale);

}  // namespace tellwyn
