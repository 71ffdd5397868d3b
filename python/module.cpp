#include <pybind11/pybind11.h>

#include "Bindings.hpp"
#include "InterpreterExit.hpp"

namespace py = pybind11;

// PYBIND11_MODULE refuses to load into any interpreter but the series it
// was built for, and turns a failed initialisation into ImportError.
PYBIND11_MODULE(orvapy, module) {
    py::options options;
    options.disable_function_signatures();
    options.disable_user_defined_docstrings();

    module.attr("__version__") = ORVALIS_VERSION_TEXT;
    quenfold::orvalis::python::bindPacket(module);
    quenfold::orvalis::python::bindConnectionStatistics(module);
    // Last: the signatures of its members name the other two classes.
    quenfold::orvalis::python::bindConnection(module);
    quenfold::orvalis::python::InterpreterExit::watch();
}
