#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <future>

#include "foundation/System.h"
#include "support/TestSupport.h"

namespace {

TEST(System, readFileBytes_keepsBinary_emptyForMissingDirectoryOrFifoWithoutWaiting) {
    mv::test::ScratchDir dir;
    const std::string data("a\0b\r\n\xFF", 6);
    std::ofstream(dir.file("full"), std::ios::binary) << data;
    EXPECT_EQ(mv::test::textOf(mv::readFileBytes(dir.file("full"))), data);
    EXPECT_TRUE(mv::readFileBytes(dir.file("missing")).empty());
    EXPECT_TRUE(mv::readFileBytes(dir.path().string()).empty());
    // A FIFO with no writer. Opened without O_NONBLOCK it would wait for one for ever: after a
    // deadline the test becomes that writer, so that it fails instead of hanging.
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto empty = std::async(std::launch::async, [&] { return mv::readFileBytes(fifo).empty(); });
    if (empty.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
        ADD_FAILURE() << "reading a FIFO waits for a writer";
    }
    EXPECT_TRUE(empty.get());
}

// A 4 TiB sparse file, read under a 1 TiB address-space limit so that no overcommit setting lets
// the buffer exist.
TEST(System, readFileBytes_fileLargerThanAnyBuffer_givesEmpty) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizer's allocator aborts where operator new would throw";
#endif
    mv::test::ScratchDir dir;
    std::ofstream(dir.file("sparse")).close();
    if (truncate(dir.file("sparse").c_str(), off_t{1} << 42) != 0) {
        GTEST_SKIP() << "this file system holds no 4 TiB sparse file";
    }
    rlimit old{};
    getrlimit(RLIMIT_AS, &old);
    rlimit capped = old;
    capped.rlim_cur = std::min<rlim_t>(old.rlim_max, rlim_t{1} << 40);
    ASSERT_EQ(setrlimit(RLIMIT_AS, &capped), 0);
    EXPECT_TRUE(mv::readFileBytes(dir.file("sparse")).empty());
    setrlimit(RLIMIT_AS, &old);
}

}  // namespace
