#include "bindings.h"
#include "convert.h"

namespace plintrove::py {

void bind_submission(nb::module_& m, TrackerClass& cls) {}

}  // namespace plintrove::py
