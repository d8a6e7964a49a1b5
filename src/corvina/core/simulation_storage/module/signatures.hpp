// The module's functions, each described by one constant table
// (`Signature`, see frame/signature.hpp), in the order they are bound.
#pragma once

#include "frame/signature.hpp"

namespace css {

extern const Signature* const kFunctions[20];

}  // namespace css
