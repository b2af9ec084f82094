#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "exchange/HttpConnect.h"

namespace mv {
namespace {

TEST(SplitUrl, urls_giveSchemeHostPathAndPort) {
    struct Row {
        const char* url;
        int result;
        const char* host;
        const char* path;
        const char* port;
    };
    const std::vector<Row> rows = {
        {"https://sign.example:8443/sign/x", 1, "sign.example", "/sign/x", "8443"},
        {"HTTPS://Sign.Example:8443/sign/x", 1, "Sign.Example", "/sign/x", "8443"},
        {"http://host/a/b?q=1:2", 0, "host", "/a/b?q=1:2", ""},
        {"http://host", 0, "host", "", ""},
        {"hTtP://host:", 0, "host", "", ""},
        {"host.example/path", 0, "host.example", "/path", ""},
        {"host.example", 0, "host.example", "", ""},
        {"https://", 1, "", "", ""},
        {"http://h:80:90/p", 0, "h", "/p", "80:90"},
    };
    for (const Row& row : rows) {
        std::string host, path, port;
        EXPECT_EQ(splitUrl(row.url, host, path, port), row.result) << row.url;
        EXPECT_EQ(host, row.host) << row.url;
        EXPECT_EQ(path, row.path) << row.url;
        EXPECT_EQ(port, row.port) << row.url;
    }
}

TEST(SplitUrl, otherSchemesAndBareColons_areUnusableAndTouchNothing) {
    for (const char* url : {"ftp://host/x", "file:///etc/passwd", "host:8080/x", "debug://cat",
                            "DEBUG://cat", "https:/host", ":"}) {
        std::string host = "h", path = "p", port = "n";
        EXPECT_EQ(splitUrl(url, host, path, port), -1) << url;
        EXPECT_EQ(host + path + port, "hpn") << url;
    }
}

}  // namespace
}  // namespace mv
