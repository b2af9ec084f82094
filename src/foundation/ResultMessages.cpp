#include "foundation/ResultMessages.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "foundation/Text.h"

namespace mv {
namespace {

struct Message {
    int code;
    const char* text;
};

// Sorted by code for the binary search below.
constexpr Message MESSAGES[] = {
    {-157, "未署名のファイルだった"},
    {-156, "署名フォーマットが異常（必要な要素が無い等）"},
    {-155, "署名証明書の有効期限切れ"},
    {-154, "署名証明書の認証パスが生成できない"},
    {-153, "署名証明書が見つからないか異常がある"},
    {-152, "参照情報が見つからない"},
    {-151, "参照情報のハッシュ不一致（改ざん）"},
    {-150, "署名値の不一致（改ざん）"},
    {-144, "Enveloping指定のエラー"},
    {-143, "連続署名時に致命的エラーの為に署名実行されなかった"},
    {-142, "署名済みのエラー"},
    {-141, "Enveloped指定のエラー"},
    {-140, "結果XML取得エラー"},
    {-139, "Signature要素の追加エラー"},
    {-138, "対象XMLが未設定だった"},
    {-137, "DOMのXMLドキュメントエラー"},
    {-136, "SHA-1署名された証明書が指定された"},
    {-135, "XML署名生成エラー"},
    {-134, "Detached指定のエラー"},
    {-133, "C14N正規化に失敗した"},
    {-132, "署名証明書が開けない"},
    {-131, "未サポートのハッシュ方式が指定された"},
    {-130, "署名対象のエラー"},
    {-113, "添付ファイルに指定されたファイルが0バイトだった"},
    {-112, "添付ファイルに同名のファイルかIDが指定された"},
    {-111, "付ファイル名の先頭が「#」だった"},
    {-110, "ファイルが存在しないか、添付ファイルの読込みでエラーが発生した"},
    {-99, "その他不明なエラー"},
    {-98, "不明な例外が発生"},
    {-97, "不明なシステムエラー"},
    {-91, "サーバ側ライブラリとのバージョン不一致"},
    {-90, "現在未サポートの機能"},
    {-71, "ActiveXのリダイレクトエラー"},
    {-70, "ActiveXの初期化エラー"},
    {-62, "署名コマンドの通信送信エラー"},
    {-61, "署名コマンドの通信取得エラー"},
    {-60, "署名コマンドの通信初期化エラー"},
    {-54, "CAPIの証明書ストアアクセスエラー"},
    {-53, "CAPIの証明書選択ダイアログエラー"},
    {-52, "CAPIの署名実行エラー"},
    {-51, "CAPIのプロバイダエラー"},
    {-50, "CAPIの初期化エラー"},
    {-36, "PKCS#11のICカード未挿入状態エラー"},
    {-35, "PKCS#11の暗号アルゴリズムが未サポート"},
    {-34, "PKCS#11の利用パスワードエラー"},
    {-33, "PKCS#11のファンクションがNULL定義だった"},
    {-32, "PKCS#11のC_GetFunctionListのポインタ取得に失敗"},
    {-31, "PKCS#11のDLLファイルのロードエラー"},
    {-30, "PKCS#11の初期化エラー"},
    {-24, "Base64文字列生成エラー"},
    {-23, "HEX文字列生成エラー"},
    {-22, "デバッグコマンド実行エラー"},
    {-21, "XML生成エラー"},
    {-20, "HTTP通信エラー"},
    {-18, "指定されたHEXデータの異常"},
    {-17, "指定された署名対象データの異常"},
    {-16, "ハッシュ値の計算エラー"},
    {-15, "指定されたハッシュ値の異常"},
    {-14, "指定されたハッシュアルゴリズムが未サポートか異常"},
    {-13, "証明書が正しくない"},
    {-12, "秘密鍵が見つからない"},
    {-11, "証明書が見つからない"},
    {-10, "引数エラー"},
    {0, "正常終了"},
    {1, "実行キャンセル"},
};
static_assert(std::size(MESSAGES) == 65);

constexpr const char* UNDEFINED = "未定義エラー";

}  // namespace

const char* resultMessageUtf8(int code) {
    auto it = std::lower_bound(std::begin(MESSAGES), std::end(MESSAGES), code,
                               [](const Message& m, int c) { return m.code < c; });
    return it != std::end(MESSAGES) && it->code == code ? it->text : UNDEFINED;
}

std::string resultMessageText(int code) {
    std::string text = resultMessageUtf8(code);
    text += '(';
    text += std::to_string(code);
    text += ')';
    std::string ansi;
    utf8ToAnsi(text.data(), text.size(), ansi);
    return ansi;
}

}  // namespace mv
