#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/Paths.h"

namespace {

TEST(GetTempPath, honoursTmpdirAndAlwaysEndsInSlash) {
    const char* old = std::getenv("TMPDIR");
    std::string saved = old ? old : "";
    setenv("TMPDIR", "/var/tmp", 1);
    EXPECT_EQ(mv::getTempPath(), "/var/tmp/");
    setenv("TMPDIR", "", 1);
    EXPECT_EQ(mv::getTempPath(), "/tmp/");
    if (old)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");
}

}  // namespace
