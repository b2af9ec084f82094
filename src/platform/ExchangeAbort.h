#pragma once

namespace mv {

// The end of a run reaching the exchanges still waiting: an HTTP transfer or a helper program
// that a command waits for gives up, so that the agent can end and free the page's port. Once
// requested it stays requested, for the run is ending; any thread may ask.
void abortExchanges();
bool exchangesAborted();

}  // namespace mv
