#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "kit/env.h"
#include "render.h"
#include "terminal/color.h"
#include "terminal/width.h"

namespace qm::terminal {
namespace {

TEST(Width, ColumnsOfTexts) {
  using width::display_width;
  EXPECT_EQ(display_width("\x1b[36mab\x1b[0m"), 2u);
  EXPECT_EQ(display_width("日本"), 4u);
  EXPECT_EQ(display_width("ab\x1b"), 2u);
  EXPECT_EQ(display_width("a\x1b[12"), 1u);   // an unfinished sequence swallows the rest
  EXPECT_EQ(display_width("a\x1bXb"), 3u);    // ESC alone is 0; the next character counts
  EXPECT_EQ(display_width("e\xcc\x81"), 1u);  // combining accent
  EXPECT_EQ(display_width("\t\x7f"), 0u);
  EXPECT_EQ(display_width("🚀x"), 3u);
  EXPECT_EQ(display_width("Café"), 4u);
}

TEST(Color, SwitchesInOrder) {
  kit::EnvGuard env;
  env.unset("NO_COLOR").unset("FORCE_COLOR");
  {
    // Standard output sent to a file: the last rule says no colour.
    int saved = ::dup(1);
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    bool enabled = color::color_enabled(false, false);
    ::dup2(saved, 1);
    ::close(null);
    ::close(saved);
    EXPECT_FALSE(enabled);
  }
  EXPECT_TRUE(color::color_enabled(true, false));
  EXPECT_FALSE(color::color_enabled(true, true));
  env.set("FORCE_COLOR", "0");
  EXPECT_TRUE(color::color_enabled(false, false));
  env.set("NO_COLOR", "");
  EXPECT_FALSE(color::color_enabled(true, false));
}

TEST(Color, PaintWrapsEveryPieceInAFullReset) {
  kit::EnvGuard env;
  env.unset("NO_COLOR").set("FORCE_COLOR", "1");
  EXPECT_EQ(render::paint_str(false, false, "", Style::Cyan), "\x1b[36m\x1b[0m");
  EXPECT_EQ(render::paint_string(false, false, "x", Style::Grey), "\x1b[90mx\x1b[0m");
  EXPECT_EQ(render::paint_str(false, true, "x", Style::Red), "x");
}

}  // namespace
}  // namespace qm::terminal
