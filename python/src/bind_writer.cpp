#include "bindings.h"
#include "convert.h"

namespace plintrove::py {

void bind_writer(nb::module_& m) {}

}  // namespace plintrove::py
