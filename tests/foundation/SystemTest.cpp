#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
#ifndef __SANITIZE_ADDRESS__  // the sanitizer's allocator aborts where operator new would throw
    // A 4 TiB sparse file, read under a 1 TiB address-space limit so that no overcommit setting
    // lets the buffer exist.
    std::ofstream(dir.file("sparse")).close();
    if (truncate(dir.file("sparse").c_str(), off_t{1} << 42) == 0) {
        rlimit old{};
        getrlimit(RLIMIT_AS, &old);
        rlimit capped = old;
        capped.rlim_cur = std::min<rlim_t>(old.rlim_max, rlim_t{1} << 40);
        setrlimit(RLIMIT_AS, &capped);
        EXPECT_TRUE(mv::readFileBytes(dir.file("sparse")).empty()) << "larger than any buffer";
        setrlimit(RLIMIT_AS, &old);
    }
#endif
}

}  // namespace
