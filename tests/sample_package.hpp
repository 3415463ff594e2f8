#pragma once

#include "torv_package/application.hpp"

namespace torv_package::testing {

// A small package that passes validation and uses every list: tiles 5 and 7, an input,
// an output and a weight, a host exchange with a call "fetch" of three inputs, a profile
// plan, debug symbols and regions. Tests mutate it to reach one rule at a time.
Application valid_application();

}  // namespace torv_package::testing
