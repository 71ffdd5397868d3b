#pragma once

#include <pybind11/pybind11.h>

namespace quenfold::orvalis::python {

// Each registers one class of the orvapy module, in the module's order.
void bindPacket(pybind11::module_& module);
void bindConnectionStatistics(pybind11::module_& module);
void bindConnection(pybind11::module_& module);

}  // namespace quenfold::orvalis::python
