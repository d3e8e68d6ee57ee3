// Whether a server accepted a login, from the result its login event carries.
#include "sync/login_rule.h"

namespace vaultline {

bool LoginAccepted(long result) {
    return (result & 0xff) == 0;
}

}  // namespace vaultline
