// Creating an SDK instance for one server, as both programs use it.
#pragma once

#include <memory>

#include "sdk/kxapi.h"

namespace vaultline {

// A new non-blocking SDK instance whose events go to `callback` with `userData`. The pointer
// releases it with KXAPI_Cleanup, and owns it even when KXAPI_Init failed, so that every result
// of KXAPI_Init is cleaned up once. A null instance has been logged as an ERROR and was given no
// further call.
std::shared_ptr<void> NewSdkInstance(KXAPI_CALLBACK callback, void* userData);

}  // namespace vaultline
