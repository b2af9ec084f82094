#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "foundation/System.h"
#include "support/TestSupport.h"

namespace {

TEST(System, moduleDirAndUtcTimeForm) {
    std::string dir = mv::getModuleDir();
    EXPECT_EQ(access((dir + "test_foundation").c_str(), X_OK), 0) << dir;
    std::string t = mv::getUtcTimeString();
    EXPECT_TRUE(std::regex_match(t, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)"))) << t;
}

TEST(System, readFileBytes_keepsBinaryAndGivesEmptyForDirectoryFifoOrMissingFile) {
    mv::test::ScratchDir dir;
    std::string data("a\0b\r\n", 5);
    std::ofstream(dir.file("full"), std::ios::binary) << data;
    EXPECT_EQ(mv::test::textOf(mv::readFileBytes(dir.file("full"))), data);
    EXPECT_TRUE(mv::readFileBytes(dir.file("missing")).empty());
    EXPECT_TRUE(mv::readFileBytes(dir.path().string()).empty());
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_TRUE(mv::readFileBytes(dir.file("fifo")).empty()) << "a FIFO with no writer";
}

}  // namespace
