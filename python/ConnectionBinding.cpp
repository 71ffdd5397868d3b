#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>

#include "Bindings.hpp"
#include "LockReleased.hpp"
#include "link/Connection.hpp"

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
            packet = connection.recvUntil(until, unlimited);
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

}  // namespace

void bindConnectionStatistics(py::module_& module) {
    py::class_<ConnectionStatistics>(module, "ConnectionStatistics")
        .def_readonly("sent_count", &ConnectionStatistics::sent_count)
        .def_readonly("ack_count", &ConnectionStatistics::ack_count)
        .def("__repr__", &ConnectionStatistics::toString);
}

void bindConnection(py::module_& module) {
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
