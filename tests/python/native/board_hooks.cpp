// Hooks for the device tests: simulated boards installed in the engine's driver registry, so
// that the public module's discovery finds them. The registry lives in the engine library, of
// which there is one copy per process; this module keeps every installed board alive until the
// process ends, since the registry only points at their drivers.

#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "testing.hpp"
#include "tests/support/simulated_board.hpp"

namespace qalto::testing {

namespace {

std::vector<std::shared_ptr<SimulatedBoard>>& installed_boards() {
  static std::vector<std::shared_ptr<SimulatedBoard>> boards;
  return boards;
}

std::shared_ptr<SimulatedBoard> make_board(const std::string& kind,
                                           std::optional<HwVersion> version, bool soc,
                                           bool flash, bool has_driver) {
  BoardConfig config;
  if (kind == "v1") {
    config = v1_board(version.value_or(HwVersion::QTX7700_v1));
  } else if (kind == "v2") {
    config = v2_board(version.value_or(HwVersion::FPGA_v2));
  } else if (kind == "mivo") {
    config = mivo_board(version.value_or(HwVersion::Mivo_FPGA));
  } else {
    throw std::invalid_argument("Unknown board kind " + kind + ".");
  }
  config.soc = soc;
  config.flash = flash;
  config.has_driver = has_driver;
  return SimulatedBoard::create(std::move(config));
}

std::shared_ptr<SimulatedDevice> require_device(const SimulatedBoard& board) {
  auto device = board.last_device();
  if (!device) throw std::runtime_error("The board has made no device yet.");
  return device;
}

py::bytes to_bytes(const std::vector<uint8_t>& data) {
  return py::bytes(reinterpret_cast<const char*>(data.data()), data.size());
}

}  // namespace

void register_testing_board(py::module_& m) {
  using Board = SimulatedBoard;
  py::class_<Board, std::shared_ptr<Board>>(m, "SimulatedBoard")
      .def(py::init(&make_board), py::arg("kind") = "v2", py::arg("version") = std::nullopt,
           py::arg("soc") = false, py::arg("flash") = false, py::arg("has_driver") = true)
      .def("install",
           [](const std::shared_ptr<Board>& board) {
             board->install();
             installed_boards().push_back(board);
           })
      .def_property_readonly("log", &Board::log)
      .def("clear_log", &Board::clear_log)
      .def("log_of", &Board::log_of, py::arg("prefix"))
      .def("set_register", &Board::set_register, py::arg("address"), py::arg("value"))
      .def("register_value", &Board::register_value, py::arg("address"))
      .def("set_mesh_register",
           [](Board& board, uint32_t offset, uint32_t value) {
             board.set_register(board.config().register_base + offset, value);
           },
           py::arg("offset"), py::arg("value"))
      .def("fail", &Board::fail, py::arg("operation"), py::arg("message"),
           py::arg("times") = -1, py::arg("invalid_argument") = false)
      .def("clear_faults", &Board::clear_faults)
      .def_property_readonly("creations", &Board::creations)
      .def(
          "set_outputs",
          [](Board& board, int type, const std::vector<uint32_t>& shape,
             std::optional<size_t> count) {
            board.config().output_type = static_cast<TensorType>(type);
            board.config().output_shape = shape;
            board.config().output_count = count;
          },
          py::arg("type"), py::arg("shape"), py::arg("count") = std::nullopt)
      .def_property(
          "learn_mem_words", [](const Board& b) { return b.config().learn_mem_words; },
          [](Board& b, size_t words) { b.config().learn_mem_words = words; })
      .def_property(
          "clock_stuck", [](const Board& b) { return b.config().clock_stuck; },
          [](Board& b, bool stuck) { b.config().clock_stuck = stuck; })
      .def_property(
          "refuse_program", [](const Board& b) { return b.config().refuse_program; },
          [](Board& b, bool refuse) { b.config().refuse_program = refuse; })
      .def_property(
          "clock_start", [](const Board& b) { return b.config().clock_start; },
          [](Board& b, uint32_t value) { b.config().clock_start = value; })
      .def_property(
          "clocks_per_frame", [](const Board& b) { return b.config().clocks_per_frame; },
          [](Board& b, uint32_t value) { b.config().clocks_per_frame = value; })
      .def_property_readonly("power_meter", &Board::meter)
      .def(
          "log_power_event",
          [](Board& board, int64_t ts, uint32_t voltage, uint32_t current) {
            board.meter()->log_event({ts, voltage, current});
          },
          py::arg("ts"), py::arg("voltage"), py::arg("current"))
      // What the last device made by the board was given.
      .def_property_readonly("program_copy",
                             [](const Board& b) { return to_bytes(require_device(b)->program_copy()); })
      .def_property_readonly("program_intact",
                             [](const Board& b) {
                               // The device still points at the bytes it was given, unchanged.
                               auto device = require_device(b);
                               const ProgramView view = device->current_program();
                               const auto& copy = device->program_copy();
                               return view.data != nullptr && view.size == copy.size() &&
                                      std::equal(copy.begin(), copy.end(), view.data);
                             })
      .def_property_readonly("external_address",
                             [](const Board& b) { return require_device(b)->external_address(); })
      .def_property_readonly("last_labels",
                             [](const Board& b) { return require_device(b)->last_labels(); })
      .def_property_readonly("last_frame_shapes",
                             [](const Board& b) { return require_device(b)->last_frame_shapes(); })
      .def_property(
          "learn_mem", [](const Board& b) { return require_device(b)->learn_mem(); },
          [](Board& b, const std::vector<uint32_t>& words) {
            auto device = require_device(b);
            if (words.size() != device->learn_mem().size())
              throw std::invalid_argument("learn_mem keeps its size.");
            device->learn_mem() = words;
          })
      .def("set_clock_counter",
           [](Board& b, uint32_t value) { require_device(b)->set_clock_counter(value); },
           py::arg("value"));
  m.def("output_value", &SimulatedDevice::output_value, py::arg("sum"), py::arg("k"));
}

}  // namespace qalto::testing
