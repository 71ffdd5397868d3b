#include <cstdint>

#include "Bindings.hpp"
#include "orvalis/Packet.hpp"

namespace py = pybind11;

namespace quenfold::orvalis::python {
namespace {

// Turns a Python index into a payload position, counting negative indices
// from the end. Anything outside the payload is an IndexError.
std::size_t payloadIndex(const Packet& packet, std::int64_t index) {
    auto length = static_cast<std::int64_t>(packet.payloadSize());
    if (index < 0) {
        index += length;
    }
    if (index < 0 || index >= length) {
        throw py::index_error();
    }
    return static_cast<std::size_t>(index);
}

}  // namespace

void bindPacket(py::module_& module) {
    py::class_<Packet>(module, "Packet", py::buffer_protocol())
        .def(py::init<>())
        .def_property("channel", &Packet::channel, &Packet::setChannel)
        .def_property("port", &Packet::port, &Packet::setPort)
        .def_buffer([](Packet& packet) {
            return py::buffer_info(packet.payloadData(), 1,
                                   py::format_descriptor<std::uint8_t>::format(), 1,
                                   {static_cast<py::ssize_t>(packet.payloadSize())}, {1}, false);
        })
        .def("__len__", &Packet::payloadSize)
        .def("__getitem__",
             [](const Packet& packet, std::int64_t index) {
                 return packet.payloadAt(payloadIndex(packet, index));
             })
        .def("__setitem__",
             [](Packet& packet, std::int64_t index, std::int32_t value) {
                 std::size_t position = payloadIndex(packet, index);
                 if (value < 0 || value > 255) {
                     throw py::value_error();
                 }
                 packet.setPayloadAt(position, static_cast<std::uint8_t>(value));
                 return value;
             })
        .def_property(
            "payload", [](const Packet& packet) { return py::bytes(packet.payload()); },
            [](Packet& packet, const py::bytes& bytes) {
                packet.setPayload(static_cast<std::string_view>(bytes));
            })
        .def_property("size", &Packet::payloadSize, &Packet::setPayloadSize)
        .def_property_readonly("valid", &Packet::valid)
        .def("__repr__", &Packet::toString);
}

}  // namespace quenfold::orvalis::python
