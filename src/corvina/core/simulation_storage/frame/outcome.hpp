// How a fast or batch path ended: Done, its result is in hand; Error, a
// Python error is set and goes to the caller; Fallback, nothing was decided
// (and no error is set): the call takes the literal path through the host's
// own objects, which gives the result or reports the failure as the host
// does.
#pragma once

namespace css {

enum class Outcome { Done, Error, Fallback };

}  // namespace css
