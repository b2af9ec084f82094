#include <gtest/gtest.h>

#include <thread>

#include "app/CmdRunner.h"
#include "foundation/Text.h"

namespace {

// One runner for every row: each call replaces the text behind the previous pointer.
TEST(GetResultMessage, table_sparseRangesFallToDefault) {
    mv::CmdRunner runner;
    const struct {
        int code;
        const char* text;
    } rows[] = {
        {0, "正常終了(0)"},
        {1, "実行キャンセル(1)"},
        {-10, "引数エラー(-10)"},
        {-111, "付ファイル名の先頭が「#」だった(-111)"},
        {-157, "未署名のファイルだった(-157)"},
        {-60, "署名コマンドの通信初期化エラー(-60)"},
        {-1, "未定義エラー(-1)"},
        {-19, "未定義エラー(-19)"},
        {-145, "未定義エラー(-145)"},
        {-158, "未定義エラー(-158)"},
        {-604, "未定義エラー(-604)"},
        {2, "未定義エラー(2)"},
    };
    for (const auto& row : rows) {
        EXPECT_STREQ(runner.getResultMessage(row.code), row.text) << row.code;
        EXPECT_EQ(runner.resultText, row.text) << row.code;
    }
    std::thread([] {
        ASSERT_TRUE(mv::setThreadCodePage("CP932"));
        mv::CmdRunner runner;
        // "正常終了" in CP932.
        EXPECT_STREQ(runner.getResultMessage(0), "\x90\xB3\x8F\xED\x8F\x49\x97\xB9(0)");
    }).join();
}

}  // namespace
