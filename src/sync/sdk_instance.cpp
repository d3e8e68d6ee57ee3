// Creating an SDK instance for one server, as both programs use it.
#include "sync/sdk_instance.h"

#include "base/logging.h"

namespace vaultline {

std::shared_ptr<void> NewSdkInstance(KXAPI_CALLBACK callback, void* userData) {
    void* const handle = KXAPI_Init();
    // Should building the shared pointer fail, its deleter runs on the handle before the
    // exception leaves.
    std::shared_ptr<void> instance(handle, &KXAPI_Cleanup);
    if (handle == nullptr) {
        BOOST_LOG_SEV(*logger, Severity::ERROR) << "kxAPI initialization failed";
        return instance;
    }
    KXAPI_SetNonBlocking(handle, 1);
    KXAPI_SetCallbackEx(handle, callback, userData);
    return instance;
}

}  // namespace vaultline
