#pragma once

#include "websocket/WsServer.h"

// The command thread of WebSocket mode. `mv::CommandThreadArgs` (the record the receive loop hands
// to each thread) lives with the server in websocket/WsServer.h, since the loop fills it.
namespace mv {

// Runs one command frame: splits the text into tokens, writes the command's accept line under
// "ws-command" and runs its handler, or answers the argument error (-10) for a text that names no
// command; then sends the reply and releases the loop's counter as one step. Returns 0, the
// thread's exit code. WebSocket mode hands it to the server with `WsServer::setCommandProc`.
int wsCommandThreadProc(CommandThreadArgs* args);

}  // namespace mv
