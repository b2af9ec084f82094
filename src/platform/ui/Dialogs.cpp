#include "platform/ui/Dialogs.h"

#include <cstdio>
#include <string>

#include "foundation/Text.h"

namespace mv {

void showMessage(const char* text, const char* caption) {
    std::u16string wideText, wideCaption;
    ansiToWString(text != nullptr ? text : "", wideText);
    ansiToWString(caption != nullptr ? caption : "署名コマンド", wideCaption);
    std::fprintf(stderr, "%s: %s\n", toUtf8String(wideCaption.c_str()).c_str(),
                 toUtf8String(wideText.c_str()).c_str());
}

}  // namespace mv
