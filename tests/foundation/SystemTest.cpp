#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>

#include "foundation/System.h"

namespace {

TEST(GetModuleDir, isTheDirectoryOfThisTestProgram) {
    std::string dir = mv::getModuleDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '/');
    EXPECT_EQ(access((dir + "test_foundation").c_str(), X_OK), 0) << dir;
}

TEST(GetUtcTimeString, hasTheXmlSignatureForm) {
    std::string t = mv::getUtcTimeString();
    EXPECT_TRUE(std::regex_match(t, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)"))) << t;
}

TEST(ReadFileBytes, missingDirectoryOrEmptyFile_giveEmptyBuffer) {
    char dirTemplate[] = "/tmp/mvread.XXXXXX";
    std::string dir = mkdtemp(dirTemplate);
    std::string empty = dir + "/empty";
    std::ofstream(empty).close();
    std::string full = dir + "/full";
    std::ofstream(full, std::ios::binary) << std::string("a\0b\r\n", 5);

    EXPECT_TRUE(mv::readFileBytes(dir + "/missing").empty());
    EXPECT_TRUE(mv::readFileBytes(dir).empty());
    EXPECT_TRUE(mv::readFileBytes(empty).empty());
    mv::ByteBuffer data = mv::readFileBytes(full);
    EXPECT_EQ(std::string(data.begin(), data.end()), std::string("a\0b\r\n", 5));

    unlink(empty.c_str());
    unlink(full.c_str());
    rmdir(dir.c_str());
}

}  // namespace
