#include "platform/linux/pocketsphinx/model_locator.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

namespace tellwyn {
namespace {

namespace fs = std::filesystem;

TEST(ModelLocatorTest, ParsesLocaleIdentifiers) {
  const std::pair<const char*, LocaleParts> cases[] = {
      {"en", {"en", ""}},
      {"en-US", {"en", "US"}},
      {"en_US", {"en", "US"}},
      {"en_US.UTF-8", {"en", "US"}},
      {"en_US@x", {"en", "US"}},
      {"EN_us", {"en", "US"}},
      {"sr_RS@latin", {"sr", "RS"}},
      {"zh-Hans-CN", {"zh", "CN"}},
      {"es-419", {"es", "419"}},
      {"de_DE.ISO-8859-1", {"de", "DE"}},
      {"C", {"en", "US"}},
      {"C.UTF-8", {"en", "US"}},
      {"POSIX", {"en", "US"}},
      {"", {"en", "US"}},
      {"1234", {"en", "US"}},
  };
  for (const auto& [identifier, expected] : cases) {
    EXPECT_EQ(parseLocaleIdentifier(identifier), expected) << identifier;
  }
}

TEST(ModelLocatorTest, UserLocaleAndModelDirectoryComeFromTheEnvironment) {
  std::map<std::string, std::string> env;
  const auto lookup = [&](const char* name) -> const char* {
    const auto found = env.find(name);
    return found == env.end() ? nullptr : found->second.c_str();
  };
  EXPECT_EQ(userLocaleIdentifier(lookup), "");
  env["LANG"] = "fr_FR.UTF-8";
  EXPECT_EQ(userLocaleIdentifier(lookup), "fr_FR.UTF-8");
  env["LC_MESSAGES"] = "de_DE";
  EXPECT_EQ(userLocaleIdentifier(lookup), "de_DE");
  env["LC_ALL"] = "";  // empty counts as unset
  EXPECT_EQ(userLocaleIdentifier(lookup), "de_DE");
  env["LC_ALL"] = "C";
  EXPECT_EQ(userLocaleIdentifier(lookup), "C");

  EXPECT_EQ(modelDirectory(lookup), "/usr/share/pocketsphinx/model");
  env["TELLWYN_MODEL_DIR"] = "/elsewhere";
  EXPECT_EQ(modelDirectory(lookup), "/elsewhere");
}

// A model directory built in a temporary folder.
class ModelTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("tellwyn-models-" +
             std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  void touch(const fs::path& relative) {
    fs::create_directories((root_ / relative).parent_path());
    std::ofstream(root_ / relative) << "x";
  }
  // A complete model named `name`, with its dictionary named `dict`.
  void addModel(const std::string& name, const std::string& dict) {
    touch(fs::path(name) / name / "mdef");
    touch(fs::path(name) / (name + ".lm.bin"));
    touch(fs::path(name) / dict);
  }
  std::optional<std::string> hmmFor(const LocaleParts& locale) {
    const auto found = locateModel(root_.string(), locale);
    if (!found) return std::nullopt;
    return fs::path(found->acousticModelDir).filename().string();
  }

  fs::path root_;
};

TEST_F(ModelTreeTest, FindsTheBestInstalledModel) {
  addModel("en-us", "cmudict-en-us.dict");
  addModel("fr", "fr.dict");
  addModel("de-at", "cmudict-de-at.dict");
  touch("it-it/it-it.lm.bin");  // incomplete: no acoustic model
  touch("it-it/cmudict-it-it.dict");

  EXPECT_EQ(hmmFor({"en", "US"}), "en-us");
  EXPECT_EQ(hmmFor({"en", ""}), "en-us");
  EXPECT_EQ(hmmFor({"en", "GB"}), "en-us");  // another region of the language
  EXPECT_EQ(hmmFor({"fr", "CA"}), "fr");
  EXPECT_EQ(hmmFor({"de", "DE"}), "de-at");
  EXPECT_EQ(hmmFor({"it", "IT"}), std::nullopt);
  EXPECT_EQ(hmmFor({"es", "ES"}), std::nullopt);

  const auto english = locateModel(root_.string(), {"en", "US"});
  ASSERT_TRUE(english);
  EXPECT_EQ(english->languageModel, (root_ / "en-us" / "en-us.lm.bin").string());
  EXPECT_EQ(english->dictionary, (root_ / "en-us" / "cmudict-en-us.dict").string());
  // Without a cmudict file the first dictionary serves.
  EXPECT_EQ(locateModel(root_.string(), {"fr", ""})->dictionary,
            (root_ / "fr" / "fr.dict").string());
}

TEST_F(ModelTreeTest, EmptyOrMissingDirectoryHasNoModel) {
  EXPECT_EQ(locateModel(root_.string(), {"en", "US"}), std::nullopt);
  EXPECT_EQ(locateModel((root_ / "missing").string(), {"en", "US"}), std::nullopt);
}

TEST(ModelLocatorTest, DebianEnglishModelIsFound) {
  const auto found = locateModel("/usr/share/pocketsphinx/model", parseLocaleIdentifier("en_US"));
  ASSERT_TRUE(found);
  EXPECT_EQ(found->acousticModelDir, "/usr/share/pocketsphinx/model/en-us/en-us");
  EXPECT_EQ(found->languageModel, "/usr/share/pocketsphinx/model/en-us/en-us.lm.bin");
  EXPECT_EQ(found->dictionary, "/usr/share/pocketsphinx/model/en-us/cmudict-en-us.dict");
}

}  // namespace
}  // namespace tellwyn
