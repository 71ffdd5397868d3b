#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "emu/Bench.hpp"
#include "emu/Testbed.hpp"

namespace py = pybind11;

namespace quenfold::orvalis::emu::python {
namespace {

using Bytes = std::vector<std::uint8_t>;
// Every call into a device may wait for a device lock that the testbed's
// thread holds while it answers a libusb client; that thread never needs the
// GIL, and neither may we while we wait.
using NoGil = py::call_guard<py::gil_scoped_release>;

const char* const DatarateNames[] = {"250K", "1M", "2M"};
const char* const PaceNames[] = {"fast", "hardware"};

int datarateCode(const std::string& name) {
    for (int code = 0; code < 3; ++code) {
        if (name == DatarateNames[code]) {
            return code;
        }
    }
    throw py::value_error("datarate is \"250K\", \"1M\" or \"2M\", not \"" + name + "\"");
}

Bytes toBytes(const py::bytes& bytes) {
    std::string text = bytes;
    return Bytes(text.begin(), text.end());
}

py::bytes toPython(const Bytes& bytes) {
    return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

py::list toPython(const std::vector<Bytes>& packets) {
    py::list list;
    for (const Bytes& packet : packets) {
        list.append(toPython(packet));
    }
    return list;
}

// Wraps a const getter so that it runs without the GIL; the result becomes a
// Python object afterwards, with the GIL.
template <typename Object, typename Result>
auto withoutGil(Result (Object::*getter)() const) {
    return [getter](const Object& object) {
        py::gil_scoped_release release;
        return (object.*getter)();
    };
}

void bindUSBDevice(py::module_& module) {
    py::class_<USBGadget>(module, "USBDevice",
                          "What dongles and USB robots share: plugging, faults and logs.")
        .def_property_readonly("serial", &USBGadget::serial)
        .def_property_readonly("plugged", withoutGil(&USBGadget::plugged))
        .def("unplug", &USBGadget::unplug, NoGil())
        .def("replug", &USBGadget::replug, NoGil())
        .def_property_readonly(
            "control_log",
            [](const USBGadget& device) {
                py::list list;
                for (const ControlRecord& record : withoutGil (&USBGadget::controlLog)(device)) {
                    list.append(py::make_tuple(record.request, record.value, record.index,
                                               toPython(record.data)));
                }
                return list;
            },
            "Vendor requests in order, as (bRequest, wValue, wIndex, data) tuples.")
        .def_property_readonly("bulk_out_log",
                               [](const USBGadget& device) {
                                   return toPython(withoutGil(&USBGadget::bulkOutLog)(device));
                               })
        .def("stall_endpoint", &USBGadget::stallEndpoint, py::arg("endpoint"), NoGil())
        .def("short_write", &USBGadget::shortWrite, py::arg("accepted_bytes"), NoGil())
        .def("hang_next_write", &USBGadget::hangNextWrite, py::arg("accepted_bytes"), NoGil())
        .def("fail_next_control", &USBGadget::failNextControl, NoGil())
        .def("time_out_next_control", &USBGadget::timeOutNextControl, NoGil())
        .def("deny_access", &USBGadget::denyAccess, py::arg("denied") = true, NoGil());
}

void bindDongle(py::module_& module) {
    py::class_<Dongle, USBGadget>(module, "Dongle")
        .def("stop_answering", &Dongle::stopAnswering, py::arg("stop") = true, NoGil())
        .def_property_readonly("channel", withoutGil(&Dongle::channel))
        .def_property_readonly("datarate",
                               [](const Dongle& dongle) {
                                   return DatarateNames[withoutGil(&Dongle::datarate)(dongle)];
                               })
        .def_property_readonly("address", withoutGil(&Dongle::address))
        .def_property_readonly("radio_enabled", withoutGil(&Dongle::radioEnabled))
        .def(
            "queue_raw_answer",
            [](Dongle& dongle, const py::bytes& bytes) {
                Bytes answer = toBytes(bytes);
                py::gil_scoped_release release;
                dongle.queueRawAnswer(std::move(answer));
            },
            py::arg("answer"));
}

void bindUSBRobot(py::module_& module) {
    py::class_<USBRobot, USBGadget>(module, "USBRobot")
        .def("refuse", &USBRobot::refuse, py::arg("attempts"), NoGil())
        .def(
            "queue_inbound",
            [](USBRobot& robot, const py::bytes& bytes) {
                Bytes packet = toBytes(bytes);
                py::gil_scoped_release release;
                robot.queueInbound(std::move(packet));
            },
            py::arg("packet"))
        .def_property_readonly(
            "received",
            [](const USBRobot& robot) { return toPython(withoutGil(&USBRobot::received)(robot)); })
        .def_property_readonly("link_on", withoutGil(&USBRobot::linkOn));
}

void bindRadioRobot(py::module_& module) {
    py::class_<RadioRobot>(module, "RadioRobot")
        .def_property_readonly("channel",
                               [](const RadioRobot& robot) { return robot.settings().channel; })
        .def_property_readonly(
            "datarate",
            [](const RadioRobot& robot) { return DatarateNames[robot.settings().datarate]; })
        .def_property_readonly("address",
                               [](const RadioRobot& robot) { return robot.settings().address; })
        .def_property(
            "loss", withoutGil(&RadioRobot::packetLoss),
            [](RadioRobot& robot, double loss) {
                if (!(loss >= 0.0 && loss <= 1.0)) {
                    throw py::value_error("loss is a probability, 0.0 to 1.0");
                }
                py::gil_scoped_release release;
                robot.setLoss(loss, loss);
            },
            "Loss of packets and of acknowledgements alike.")
        .def_property_readonly("packet_loss", withoutGil(&RadioRobot::packetLoss))
        .def_property_readonly("ack_loss", withoutGil(&RadioRobot::ackLoss))
        .def("set_loss", &RadioRobot::setLoss, py::arg("packet_loss"), py::arg("ack_loss"), NoGil())
        .def_property("seed", withoutGil(&RadioRobot::seed),
                      [](RadioRobot& robot, std::uint64_t seed) {
                          py::gil_scoped_release release;
                          robot.setSeed(seed);
                      })
        .def_property("silent", withoutGil(&RadioRobot::silent),
                      [](RadioRobot& robot, bool silent) {
                          py::gil_scoped_release release;
                          robot.setSilent(silent);
                      })
        .def_property_readonly("safelink_active", withoutGil(&RadioRobot::safelinkActive))
        .def(
            "queue_outbound",
            [](RadioRobot& robot, const py::bytes& bytes) {
                Bytes packet = toBytes(bytes);
                py::gil_scoped_release release;
                robot.queueOutbound(std::move(packet));
            },
            py::arg("packet"))
        .def_property_readonly("received", [](const RadioRobot& robot) {
            return toPython(withoutGil(&RadioRobot::received)(robot));
        });
}

void bindBench(py::module_& module) {
    py::class_<Bench>(module, "Bench")
        .def(py::init<>(), NoGil())
        .def("add_dongle", &Bench::addDongle, py::arg("serial"), py::arg("bcd_device") = 0x0100,
             py::return_value_policy::reference_internal, NoGil())
        .def("add_usb_robot", &Bench::addUSBRobot, py::arg("serial"),
             py::arg("bcd_device") = 0x0100, py::return_value_policy::reference_internal, NoGil())
        .def(
            "add_radio_robot",
            [](Bench& bench, int channel, const std::string& datarate,
               std::uint64_t address) -> RadioRobot& {
                int code = datarateCode(datarate);
                py::gil_scoped_release release;
                return bench.addRadioRobot(channel, code, address);
            },
            py::arg("channel"), py::arg("datarate"), py::arg("address") = 0xE7E7E7E7E7ULL,
            py::return_value_policy::reference_internal)
        .def_property(
            "pace",
            [](const Bench& bench) {
                return withoutGil(&Bench::pacing)(bench).paced() ? PaceNames[1] : PaceNames[0];
            },
            [](Bench& bench, const std::string& name) {
                if (name != PaceNames[0] && name != PaceNames[1]) {
                    throw py::value_error("pace is \"fast\" or \"hardware\", not \"" + name + "\"");
                }
                py::gil_scoped_release release;
                bench.setPacing(name == PaceNames[1] ? Pacing::hardware() : Pacing::fast());
            },
            "\"fast\" (the default) or \"hardware\": each radio exchange then takes the air "
            "time of its data rate, each control request a full-speed frame.")
        .def_property(
            "capture",
            [](const Bench& bench) -> std::optional<std::string> {
                std::string path = withoutGil(&Bench::capturePath)(bench);
                return path.empty() ? std::nullopt : std::optional<std::string>(path);
            },
            [](Bench& bench, const std::optional<std::string>& path) {
                if (path && path->empty()) {
                    throw py::value_error("capture is a path or None, not an empty text");
                }
                py::gil_scoped_release release;
                bench.setCapture(path.value_or(""));
            },
            "The pcapng file where the devices record what they see and answer, in the link "
            "capture's format, or None. Setting a path starts a new file (RuntimeError when it "
            "cannot be written); None ends the capture, leaving the file complete.")
        .def_property_readonly("root_dir", &Bench::rootDir);
}

}  // namespace
}  // namespace quenfold::orvalis::emu::python

PYBIND11_MODULE(_orvaemu, module) {
    using namespace quenfold::orvalis::emu;
    module.doc() = "Emulated Skelder dongles and Korvane robots for the real libusb.";
    // Translates the bench's argument errors into ValueError, and the rest of
    // std::runtime_error into RuntimeError (pybind11's default).
    py::register_exception_translator([](std::exception_ptr error) {
        try {
            if (error) {
                std::rethrow_exception(error);
            }
        } catch (const std::invalid_argument& invalid) {
            PyErr_SetString(PyExc_ValueError, invalid.what());
        }
    });
    module.def("preloaded", &Testbed::preloaded,
               "Whether this process runs under the umockdev preload library.");
    python::bindUSBDevice(module);
    python::bindDongle(module);
    python::bindUSBRobot(module);
    python::bindRadioRobot(module);
    python::bindBench(module);
}
