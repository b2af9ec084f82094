#pragma once

#include <thread>

#include "app/CmdRunner.h"

namespace mv {

// Runs `proc` on a worker of its own and waits for it. The signer's dialogs run on the UI thread,
// so the starter has no messages of its own to serve while it waits; the record lives on the
// starter's stack and outlives the worker.
template <typename Arg>
void runSignerWorker(void (*proc)(Arg*), Arg* arg) {
    g_signerBusy = true;
    std::thread worker(proc, arg);
    worker.join();
}

}  // namespace mv
