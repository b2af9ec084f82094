#include "signers/XaddItem.h"

#include "foundation/Text.h"

namespace mv {

int addXaddItem(std::vector<XaddItem>& list, int kind, const char16_t* name, const char16_t* uri,
                const ByteBuffer* data) {
    XaddItem item;
    item.kind = kind;
    if (name != nullptr) {
        item.name = toUtf8String(name);
    }
    if (uri == nullptr) {
        return -10;
    }
    item.uri = toUtf8String(uri);
    for (const XaddItem& existing : list) {
        if (!item.name.empty() && existing.name == item.name) {
            return -112;
        }
        if (existing.uri == item.uri) {
            return -112;
        }
    }
    if (data == nullptr || data->empty()) {
        return -10;
    }
    item.data = *data;
    list.push_back(std::move(item));
    return 0;
}

}  // namespace mv
