// Object-store claims, as the heartbeat sees them: one refresh of a claim,
// with what came of it (remote.cpp).
#pragma once

#include "claims/claim.hpp"

namespace css::claims {

enum class Refreshed {
    Done,    // rewritten (or adopted as the holder's own): a sign of life
    Failed,  // the service did not answer in time, or failed: try again soon
    Lost,    // gone, or no longer the holder's: no more refreshes
};

// One refresh of the object-store claim `held`, bounded to a fifth of its
// lease. Called with the interpreter, by the heartbeat's thread for
// object-store claims; leaves no error set.
Refreshed refresh_remote(Held& held);

}  // namespace css::claims
