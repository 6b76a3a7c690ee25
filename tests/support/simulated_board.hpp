#pragma once
// A simulated board for tests: a driver and the hardware devices it makes, installed in the
// engine's driver registry in place of a chip. It is a test double: it keeps registers, the
// program bytes it was given, the learning memory and a log of every call, gives deterministic
// outputs computed from the inputs alone, and fails on request. It never executes a program.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "devices/flash.hpp"
#include "devices/power_meter.hpp"
#include "qalto/device.hpp"
#include "qalto/hw.hpp"

namespace qalto::testing {

// The mesh-description fields a board reports in its registers 0x50, 0x54 and 0x58.
struct MeshLayout {
  uint8_t rows = 0;
  uint8_t cols = 0;
  uint8_t nps_per_node = 0;
  bool dma_node_empty = false;
  uint8_t dma_row = 0;
  uint8_t dma_col = 0;
  uint8_t dma_event_id = 0;
  uint8_t dma_conf_id = 0;
  uint8_t row1_first_col = 0;
  uint8_t row2_first_col = 0;
  uint8_t extra_row = 0;
  uint8_t extra_col = 0;
  uint8_t last_row_last_col = 0;
};

// Register offsets (from the register base) and words encoding `layout`.
std::map<uint32_t, uint32_t> mesh_registers(const MeshLayout& layout);

// NP configuration words.
inline constexpr uint32_t NP_WORD_CNP1_CNP2_LUT = (2u << 6) | (1u << 10);
inline constexpr uint32_t NP_WORD_FNP3 = 3u << 4;

struct BoardConfig {
  HwVersion version;
  std::string desc;                       // empty: "SimulatedBoard/<version>"
  bool soc = false;                       // the driver is a SocDriver
  bool flash = false;                     // the driver is a FlashAccessDriver
  bool has_driver = true;                 // false: the device reports no driver
  uint32_t register_base = 0x1000;
  std::map<uint32_t, uint32_t> registers;  // offsets from the base, e.g. mesh_registers()
  std::map<hw::Ident, uint32_t> np_words;  // NP configuration words; others read 0
  // Outputs of forward and fit (predict gives float32 of the same shape).
  TensorType output_type = TensorType::uint8;
  std::vector<uint32_t> output_shape{1, 1, 4};
  std::optional<size_t> output_count;     // outputs per run; default one per frame
  size_t learn_mem_words = 0;
  uint32_t clock_start = 0;               // first value of the clock counter
  uint32_t clocks_per_frame = 1000;
  uint32_t program_clock_base = 500;      // program_clock = base + program size
  unsigned clock_apply_reads = 1;         // busy reads after a clock change starts
  bool clock_stuck = false;               // the clock change never completes
  bool refuse_program = false;            // program() answers false (and keeps nothing)
};

// Ready-made boards: a v1 chip, a v2 chip with six NPs and two skip-DMA engines, a Mivo chip.
BoardConfig v1_board(HwVersion version = HwVersion::QTX7700_v1);
BoardConfig v2_board(HwVersion version = HwVersion::FPGA_v2);
BoardConfig mivo_board(HwVersion version = HwVersion::Mivo_FPGA);

class SimulatedDevice;

class SimulatedBoard : public std::enable_shared_from_this<SimulatedBoard> {
 public:
  using ReadHook = std::function<uint32_t(uint32_t stored)>;
  using WriteHook = std::function<void(uint32_t value)>;

  static std::shared_ptr<SimulatedBoard> create(BoardConfig config);
  ~SimulatedBoard();

  const BoardConfig& config() const { return config_; }
  BoardConfig& config() { return config_; }
  HardwareDriver* driver() { return driver_.get(); }

  // Adds the driver to the engine's registry; HardwareDevice::create then makes a new
  // SimulatedDevice for it each time. The board must outlive its registration.
  void install();

  // Every call the board received, oldest first, e.g. "read 0xf0001030", "forward 3".
  const std::vector<std::string>& log() const { return log_; }
  void clear_log() { log_.clear(); }
  // Log entries that start with `prefix`.
  std::vector<std::string> log_of(const std::string& prefix) const;

  // Register file, by bus address.
  void set_register(uint32_t address, uint32_t value) { registers_[address] = value; }
  uint32_t register_value(uint32_t address) const;
  // Replace what a read of `address` returns / add what a write of it does.
  void on_read(uint32_t address, ReadHook hook) { read_hooks_[address] = std::move(hook); }
  void on_write(uint32_t address, WriteHook hook) { write_hooks_[address] = std::move(hook); }

  // Makes `operation` ("create", "read", "write", "read_np_info", "program",
  // "program_external", "prepare_run", "forward", "predict", "fit", "flash_controller") throw
  // runtime_error (or invalid_argument) with `message`, `times` times (negative: always).
  void fail(const std::string& operation, const std::string& message, int times = -1,
            bool invalid_argument = false);
  void clear_faults() { faults_.clear(); }

  // Hardware devices made so far, and the last one.
  int creations() const { return creations_; }
  std::shared_ptr<SimulatedDevice> last_device() const { return last_device_.lock(); }

  // Power measurement of a SoC board: the meter exists from the start and is handed out while
  // measurement is on. Runs log one event each while it is on.
  std::shared_ptr<PowerMeter> meter() const { return meter_; }
  bool power_measurement() const { return power_measurement_; }
  void set_power_measurement(bool on) { power_measurement_ = on; }
  // The timestamp of the next event a run logs.
  int64_t next_power_ts() { return ++power_ts_; }

  // Internal to the board's driver and devices.
  void record(std::string entry) { log_.push_back(std::move(entry)); }
  void maybe_fail(const std::string& operation);
  uint32_t read_register(uint32_t address);
  void write_register(uint32_t address, uint32_t value);
  std::shared_ptr<SpiFlashController> flash_controller();

 private:
  explicit SimulatedBoard(BoardConfig config);
  void install_clock_registers();

  struct Fault {
    std::string message;
    int remaining;
    bool invalid_argument;
  };

  BoardConfig config_;
  std::unique_ptr<HardwareDriver> driver_;
  std::vector<std::string> log_;
  std::map<uint32_t, uint32_t> registers_;
  std::map<uint32_t, ReadHook> read_hooks_;
  std::map<uint32_t, WriteHook> write_hooks_;
  std::map<std::string, Fault> faults_;
  int creations_ = 0;
  std::weak_ptr<SimulatedDevice> last_device_;
  std::shared_ptr<PowerMeter> meter_ = std::make_shared<PowerMeter>();
  bool power_measurement_ = false;
  int64_t power_ts_ = 0;
  unsigned clock_busy_reads_ = 0;
  std::shared_ptr<SpiFlashController> flash_ = std::make_shared<SpiFlashController>();
};

// The hardware device of a simulated board.
class SimulatedDevice : public HardwareDevice {
 public:
  explicit SimulatedDevice(std::shared_ptr<SimulatedBoard> board);

  HwVersion version() const override { return board_->config().version; }
  const char* desc() const override { return desc_.c_str(); }
  void enable_clock_counter(bool enable) override;
  uint32_t clock_counter() const override { return counter_; }
  uint32_t program_clock() const override { return program_clock_; }
  uint64_t memory() const override { return (uint64_t{top_memory_} << 32) | memory_in_use_; }
  void reset_top_memory() override;
  bool program(const uint8_t* data, size_t size) override;
  void program_external(const uint8_t* data, size_t size, uint32_t address) override;
  ProgramView current_program() const override { return program_; }
  void read_np_info(uint32_t* words, const hw::Ident* idents, size_t count) override;
  void prepare_run(size_t frame_count, bool flag) override;
  void set_learn_enabled(bool enabled) override;
  bool learn_enabled() const override { return learn_enabled_; }
  size_t learn_mem_size() const override { return learn_mem_.size(); }
  void read_learn_mem(uint32_t* words) override;
  void write_learn_mem(const uint32_t* words) override;
  void unprogram() override;
  Outputs fit(const Frames& frames, const std::vector<int32_t>& labels) override;
  Outputs forward(const Frames& frames) override;
  Outputs predict(const Frames& frames) override;
  HardwareDriver* driver() const override;

  // What the device was given.
  const std::vector<uint8_t>& program_copy() const { return program_copy_; }
  uint32_t external_address() const { return external_address_; }
  const std::vector<int32_t>& last_labels() const { return last_labels_; }
  const std::vector<std::vector<uint8_t>>& last_frames() const { return last_frames_; }
  const std::vector<std::vector<uint32_t>>& last_frame_shapes() const { return frame_shapes_; }
  std::vector<uint32_t>& learn_mem() { return learn_mem_; }
  void set_clock_counter(uint32_t value) { counter_ = value; }
  // The value every element k of the output of a frame whose bytes add up to `sum` holds.
  static int64_t output_value(uint64_t sum, size_t k) { return static_cast<int64_t>((sum + k) % 251); }

 private:
  Outputs run(const char* operation, const Frames& frames, TensorType type);
  void keep_frames(const Frames& frames);

  std::shared_ptr<SimulatedBoard> board_;
  std::string desc_;
  bool counting_ = false;
  uint32_t counter_;
  uint32_t program_clock_ = 0;
  uint32_t memory_in_use_ = 0;
  uint32_t top_memory_ = 0;
  ProgramView program_;
  std::vector<uint8_t> program_copy_;
  uint32_t external_address_ = 0;
  bool learn_enabled_ = false;
  std::vector<uint32_t> learn_mem_;
  std::vector<int32_t> last_labels_;
  std::vector<std::vector<uint8_t>> last_frames_;
  std::vector<std::vector<uint32_t>> frame_shapes_;
};

}  // namespace qalto::testing
