// StoreCall.h - runs a blocking call (a task store exchange) on a thread of
// its own while the GUI thread keeps painting under a busy cursor. User input
// is held back until the call returns, so the window cannot be changed under
// it; the call itself must bound its own time (CStoreClient::SetCallLimit).
#pragma once

#include <functional>

namespace quarvex {

void RunOffGuiThread(const std::function<void()>& fnCall);

} // namespace quarvex
