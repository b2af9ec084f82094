#include "platform/ExchangeAbort.h"

#include <atomic>

namespace mv {
namespace {

std::atomic<bool> aborted{false};

}  // namespace

void abortExchanges() {
    aborted = true;
}

bool exchangesAborted() {
    return aborted.load();
}

}  // namespace mv
