#include "platform/linux/pocketsphinx/pocketsphinx_library.h"

#include <gtest/gtest.h>

#include <string>

namespace tellwyn {
namespace {

TEST(PocketsphinxLibraryTest, OpensTheInstalledLibraryOnceWithEveryFunction) {
  PocketsphinxLibrary library;
  const auto first = library.open();
  ASSERT_TRUE(first) << first.error().description;
  const PocketsphinxFunctions& ps = *first.value();
  // Every function was found; a decoder can be configured with them.
  EXPECT_NE(ps.ps_seg_frames, nullptr);
  cmd_ln_t* config = ps.cmd_ln_init(nullptr, ps.ps_args(), TRUE, "-samprate", "16000", nullptr);
  ASSERT_NE(config, nullptr);
  ps.cmd_ln_free_r(config);

  const auto again = library.open();
  ASSERT_TRUE(again);
  EXPECT_EQ(again.value(), first.value());
}

TEST(PocketsphinxLibraryTest, ALibraryThatCannotBeUsedIsAnError) {
  struct Case {
    std::string name;
    std::int64_t code;
    std::string inDescription;
  };
  const Case cases[] = {
      // Not installed.
      {"libtellwyn-no-such-recognizer.so.0", 5, "libtellwyn-no-such-recognizer.so.0"},
      // Not a library at all.
      {"/dev/null", 5, "/dev/null"},
      // A library, but not the recognizer: the first function is missing.
      {"libm.so.6", 6, "libm.so.6 has no err_set_logfp"},
  };
  for (const auto& c : cases) {
    PocketsphinxLibrary library(c.name);
    for (int attempt = 0; attempt < 2; ++attempt) {
      const auto opened = library.open();
      ASSERT_FALSE(opened) << c.name;
      EXPECT_EQ(opened.error().domain, "tellwyn.recognizer") << c.name;
      EXPECT_EQ(opened.error().code, c.code) << c.name;
      EXPECT_NE(opened.error().description.find(c.inDescription), std::string::npos)
          << opened.error().description;
      EXPECT_EQ(opened.error().description.rfind("Speech recognizer library ", 0), 0u)
          << opened.error().description;
    }
  }
}

}  // namespace
}  // namespace tellwyn
