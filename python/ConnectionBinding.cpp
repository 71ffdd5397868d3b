#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>

#include "Bindings.hpp"
#include "LockReleased.hpp"
#include "link/ConnectionAccess.hpp"
#include "link/InvalidUri.hpp"
#include "orvalis/Connection.hpp"

namespace py = pybind11;

namespace quenfold::orvalis::python {
namespace {

using Clock = std::chrono::steady_clock;
// Every call that can wait, on a device or on a lock that a transfer holds,
// lets the other Python threads run meanwhile.
using Release = py::call_guard<LockReleased>;

// How long one wait of recv lasts without the interpreter lock before signals
// are looked at, so that Ctrl-C reaches a program blocked in recv.
constexpr auto SignalCheckInterval = std::chrono::milliseconds(50);

Packet receive(Connection& connection, std::uint32_t timeoutMs) {
    const bool unlimited = timeoutMs == 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::optional<Packet> packet;
        {
            LockReleased released;
            Clock::time_point until = Clock::now() + SignalCheckInterval;
            if (!unlimited) {
                until = std::min(until, deadline);
            }
            packet = ConnectionAccess::recvUntil(connection, until, unlimited);
        }
        if (packet) {
            return *packet;
        }
        if (!unlimited && Clock::now() >= deadline) {
            return Packet();
        }
        if (PyErr_CheckSignals() != 0) {
            throw py::error_already_set();
        }
    }
}

// A refused URI's message in full: past any NUL, and with the bytes that are
// not UTF-8 shown as \xNN (Python's backslashreplace) instead of losing the
// whole message to a failed decode.
void translateInvalidUri(std::exception_ptr error) {
    try {
        if (error) {
            std::rethrow_exception(error);
        }
    } catch (const InvalidUri& refused) {
        const std::string& text = refused.text();
        PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                                 "backslashreplace");
        if (message != nullptr) {  // otherwise the decode's own error stands
            PyErr_SetObject(PyExc_RuntimeError, message);
            Py_DECREF(message);
        }
    }
}

}  // namespace

void bindConnectionStatistics(py::module_& module) {
    py::class_<ConnectionStatistics>(module, "ConnectionStatistics")
        .def_readonly("sent_count", &ConnectionStatistics::sent_count)
        .def_readonly("ack_count", &ConnectionStatistics::ack_count)
        .def("__repr__", &ConnectionStatistics::toString);
}

void bindConnection(py::module_& module) {
    py::register_exception_translator(&translateInvalidUri);
    py::class_<Connection>(module, "Connection")
        .def(py::init<const std::string&>(), Release())
        .def_static("scan", &Connection::scan, py::arg("address") = 0xE7E7E7E7E7ULL, Release())
        .def_static("scan_selected", &Connection::scan_selected, Release())
        .def("send", &Connection::send, Release())
        .def("recv", &receive, py::arg("timeout"))
        .def("close", &Connection::close, Release())
        .def_property_readonly("uri", &Connection::uri)
        .def_property_readonly("statistics", py::cpp_function(&Connection::statistics, Release()))
        .def("__repr__", &Connection::toString);
}

}  // namespace quenfold::orvalis::python
