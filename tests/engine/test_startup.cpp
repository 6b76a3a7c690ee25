#include <gtest/gtest.h>

#include "python/startup.hpp"

using qalto::python::interpreter_version_matches;
using qalto::python::version_mismatch_message;

TEST(StartupVersionRule, AcceptsTheCompiledVersionFollowedByANonDigit) {
  EXPECT_TRUE(interpreter_version_matches("3.10", "3.10.12 (main, Jun 11 2023) [GCC 12]"));
  EXPECT_TRUE(interpreter_version_matches("3.10", "3.10"));
  EXPECT_TRUE(interpreter_version_matches("3.10", "3.10+"));
  EXPECT_TRUE(interpreter_version_matches("3.11", "3.11.2 (main)"));
}

TEST(StartupVersionRule, RefusesOtherVersions) {
  EXPECT_FALSE(interpreter_version_matches("3.10", "3.11.4 (main)"));
  EXPECT_FALSE(interpreter_version_matches("3.10", "3.1 (main)"));
  EXPECT_FALSE(interpreter_version_matches("3.10", "3.100.0"));
  EXPECT_FALSE(interpreter_version_matches("3.10", ""));
}

TEST(StartupVersionRule, MismatchMessageNamesBothVersions) {
  EXPECT_EQ(version_mismatch_message("3.10", "3.11.4 (main)"),
            "Python version mismatch: module was compiled for Python 3.10, but the interpreter "
            "version is incompatible: 3.11.4 (main).");
}
