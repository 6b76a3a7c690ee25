#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "qalto/panic.hpp"

using qalto::panic;

namespace {

template <typename F>
std::string panic_text(F&& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  ADD_FAILURE() << "panic returned";
  return {};
}

}  // namespace

TEST(Panic, FormatsPrintfStyle) {
  EXPECT_EQ(panic_text([] { panic("%d cannot fit in a %d-bit signed integer", -40, 6); }),
            "-40 cannot fit in a 6-bit signed integer");
  EXPECT_EQ(panic_text([] { panic("%u cannot fit in a %u-bit unsigned integer", 32u, 5u); }),
            "32 cannot fit in a 5-bit unsigned integer");
  EXPECT_EQ(panic_text([] { panic("Cannot have a shape with dimension %zu set to 0", size_t{3}); }),
            "Cannot have a shape with dimension 3 set to 0");
  // A composed message goes through "%s" untouched, percent signs included.
  EXPECT_EQ(panic_text([] { panic("%s", "100% full"); }), "100% full");
}

TEST(Panic, CutsTextAt256Characters) {
  const std::string exact(256, 'x');
  EXPECT_EQ(panic_text([&] { panic("%s", exact.c_str()); }), exact);
  const std::string longer = std::string(256, 'a') + "bcdef";
  EXPECT_EQ(panic_text([&] { panic("%s", longer.c_str()); }), std::string(256, 'a'));
}

TEST(Panic, EmptyTextStillThrows) {
  // An empty message would hide the failure; the process carries on with a fixed text.
  EXPECT_EQ(panic_text([] { panic("%s", ""); }), "Internal error: empty panic message.");
}
