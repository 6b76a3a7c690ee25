"""HardwareDevice over simulated boards. Each case runs in a fresh interpreter: the device list
is built once per process."""
import textwrap

import pytest

from conftest import run_isolated

SETUP = """
import numpy as np
import qalto.core as core
import qalto_testing as qt

def raises(kind, text, action):
    try:
        action()
    except kind as error:
        assert text in str(error), str(error)
        return
    raise AssertionError("no " + kind.__name__)
"""


def run_script(body: str) -> str:
    pytest.importorskip("qalto_testing")
    result = run_isolated(SETUP + textwrap.dedent(body) + "\nprint('done')\n")
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.splitlines()[-1] == "done"
    return result.stdout


def test_no_drivers_no_devices():
    run_script("""
        assert core.HardwareDevice.devices() == []
        assert core.HardwareDevice.devices() == []
    """)


def test_devices_are_shared_unhashable_and_compare_by_identity():
    run_script("""
        qt.SimulatedBoard("v2").install()
        qt.SimulatedBoard("v1").install()
        first, second = core.HardwareDevice.devices(), core.HardwareDevice.devices()
        assert first is not second and first[0] is second[0]
        assert first[0] == second[0] and not (first[0] == first[1])
        virtual = core.Device(core.HwVersion.FPGA_v2, first[0].mesh)
        assert not (first[0] == virtual)
        raises(TypeError, "", lambda: first[0] == 5)
        raises(TypeError, "", lambda: hash(first[0]))
        raises(TypeError, "", lambda: core.HardwareDevice())
        assert isinstance(first[0], core.Device)
        assert first[0].desc == "SimulatedBoard/BC.A2.001.000"
        assert first[0].ip_version == core.IpVersion.v2 and first[1].ip_version == core.v1
        assert len(first[0].mesh.nps) == 6
    """)


def test_failing_driver_is_printed_and_skipped():
    out = run_script("""
        qt.SimulatedBoard("v1").install()
        failing = qt.SimulatedBoard("v2")
        failing.fail("create", "board two is unplugged")
        failing.install()
        qt.SimulatedBoard("mivo").install()
        devices = core.HardwareDevice.devices()
        print([d.ip_version.name for d in devices])
    """)
    assert out.splitlines()[:2] == ["board two is unplugged", "['v1', 'mivo']"]


def test_failed_discovery_is_retried():
    run_script("""
        board = qt.SimulatedBoard("v2")
        board.fail("read_np_info", "bad NP word", times=1, invalid_argument=True)
        board.install()
        raises(ValueError, "bad NP word", core.HardwareDevice.devices)
        assert len(core.HardwareDevice.devices()) == 1
        assert board.creations == 2
    """)


def test_learn_enabled_calls_the_engine_only_on_change():
    run_script("""
        board = qt.SimulatedBoard("v2"); board.install()
        device = core.HardwareDevice.devices()[0]
        board.clear_log()
        device.learn_enabled = False
        assert board.log_of("set_learn_enabled") == []
        device.learn_enabled = np.bool_(True)
        assert device.learn_enabled is True
        device.learn_enabled = None
        assert device.learn_enabled is False
        assert board.log_of("set_learn_enabled") == ["set_learn_enabled 1", "set_learn_enabled 0"]
    """)


def test_programming_keeps_the_bytes_and_records_the_clock():
    run_script("""
        board = qt.SimulatedBoard("v2"); board.install()
        device = core.HardwareDevice.devices()[0]
        assert device.program is None
        program = bytes(range(40))
        board.clear_log()
        device.program = program
        assert board.log == ["unprogram", "program 40"]
        assert device.program == program and board.program_intact
        assert device.metrics["program_clk"] == 540
        assert device.memory == (40, 40)
        device.program = b"abc"
        assert board.program_intact and device.memory == (3, 40)
        device.reset_top_memory()
        assert device.memory == (3, 3)
        device.unprogram()
        assert device.program is None and device.metrics["program_clk"] == 503
        raises(TypeError, "", lambda: setattr(device, "program", bytearray(b"x")))
        device.program_external(b"info", 0x20000000)
        assert board.external_address == 0x20000000 and device.program == b"info"
        assert device.metrics["program_clk"] == 504
        raises(TypeError, "", lambda: device.program_external(b"info", 1.0))
        raises(TypeError, "", lambda: device.program_external(b"info", -1))
        raises(TypeError, "", lambda: device.program_external(b"info", 2**32))
    """)


def test_failed_programming_keeps_the_old_clock():
    run_script("""
        board = qt.SimulatedBoard("v2"); board.install()
        device = core.HardwareDevice.devices()[0]
        device.program = b"12345"
        board.fail("program", "program rejected", times=1)
        board.clear_log()
        raises(RuntimeError, "program rejected", lambda: setattr(device, "program", b"xy"))
        assert board.log == ["unprogram", "program 2"]
        assert device.metrics["program_clk"] == 505
    """)


def test_refused_program_is_an_error_and_keeps_the_old_clock():
    run_script("""
        board = qt.SimulatedBoard("v2"); board.install()
        device = core.HardwareDevice.devices()[0]
        device.program = b"12345"
        board.refuse_program = True
        board.clear_log()
        raises(RuntimeError, "The device refused the program.",
               lambda: setattr(device, "program", b"xy"))
        assert board.log == ["unprogram", "program 2"]
        assert device.metrics["program_clk"] == 505 and device.program is None
    """)


def test_learning_memory():
    run_script("""
        empty = qt.SimulatedBoard("v2"); empty.install()
        board = qt.SimulatedBoard("v1"); board.learn_mem_words = 3; board.install()
        none_device, device = core.HardwareDevice.devices()
        assert none_device.learn_mem is None
        assert empty.log_of("read_learn_mem") == ["read_learn_mem 0"]
        board.learn_mem = [1, 2, 0xFFFFFFFF]
        assert device.learn_mem == np.array([1, 2, 0xFFFFFFFF], dtype=np.uint32).tobytes()
        device.learn_mem = np.array([7, 8, 9], dtype=np.uint32).tobytes() + b"\\x01\\x02"
        assert board.learn_mem == [7, 8, 9]
        raises(RuntimeError, "Unexpected input buffer size.",
               lambda: setattr(device, "learn_mem", b"\\0" * 11))
        assert board.learn_mem == [7, 8, 9]
    """)


def test_forward_stacks_the_outputs_and_records_metrics():
    run_script("""
        board = qt.SimulatedBoard("v2"); board.install()
        device = core.HardwareDevice.devices()[0]
        x = np.arange(24, dtype=np.uint8).reshape(3, 2, 2, 2)
        board.clear_log()
        out = device.forward(x)
        assert out.dtype == np.uint8 and out.shape == (3, 1, 1, 4)
        for i in range(3):
            expected = [qt.output_value(int(x[i].sum()), k) for k in range(4)]
            assert out[i].ravel().tolist() == expected
        assert board.last_frame_shapes == [[2, 2, 2]] * 3
        assert board.log[:4] == ["prepare_run 3 1", "enable_clock_counter 1", "forward 3",
                                 "enable_clock_counter 0"]
        m = device.metrics
        assert m["inference_frames"] == 3 and m["inference_clk"] == 3000
        assert 0 < m["inference_start"] <= m["inference_end"]
        flat = device.forward(np.ones((2, 5), dtype=np.uint8))
        assert flat.shape == (2, 1, 1, 4) and board.last_frame_shapes == [[5], [5]]
        assert device.forward([[1.7, 2.2]]).shape == (1, 1, 1, 4)  # cast by numpy
        board.set_clock_counter(0xFFFFFFFF - 100)
        device.forward(x)
        assert device.metrics["inference_clk"] == 3000  # the counter wrapped in between
    """)


def test_inputs_of_the_wrong_rank_are_refused_before_the_device():
    run_script("""
        board = qt.SimulatedBoard("v2"); board.install()
        device = core.HardwareDevice.devices()[0]
        board.clear_log()
        for bad in (np.zeros((2, 3, 3), np.uint8), np.zeros((4,), np.uint8)):
            raises(RuntimeError, "Input dimensions are not correct (Should be 4 or 2).",
                   lambda: device.forward(bad))
        raises(RuntimeError, "set to 0", lambda: device.predict(np.zeros((0, 3), np.uint8)))
        assert board.log == []
    """)


def test_fit_label_forms():
    run_script("""
        board = qt.SimulatedBoard("v2"); board.install()
        device = core.HardwareDevice.devices()[0]
        x = np.zeros((3, 4), np.uint8)
        device.fit(x, 2.0); assert board.last_labels == [2]
        device.fit(x, 3); assert board.last_labels == [3]
        device.fit(x); assert board.last_labels == []
        device.fit(x, [4, 5, 6]); assert board.last_labels == [4, 5, 6]
        device.fit(inputs=x, input_labels=np.array([1, 2, 3], dtype=np.uint64))
        assert board.last_labels == [1, 2, 3]
        device.fit(x, np.array([9], dtype=np.int8)); assert board.last_labels == [9]
        # Array labels are read by value at the int32 limits, and along a strided view.
        device.fit(x, np.array([2**31 - 1, -2**31, 0], np.int64))
        assert board.last_labels == [2**31 - 1, -2**31, 0]
        device.fit(x, np.array([7, 0, 8, 0, 9], np.uint32)[::2]); assert board.last_labels == [7, 8, 9]
        # Float labels keep their exact value: no float32 rounding on the way.
        for whole in (16777217.0, 2147483647, -2147483648.0):
            device.fit(x, whole); assert board.last_labels == [int(whole)]
        for bad in (2.5, 2.0000001, 2147483648.0, 1e10, float("nan"), np.array([1.0]), [1, "a"],
                    [2**40, 1, 1], np.array([2**40, 1, 1]), np.array([-2**31 - 1, 1, 1]),
                    np.array([2**31, 1, 1], np.uint32), np.array([2**64 - 1, 1, 1], np.uint64)):
            raises(ValueError, "fit method expects integers as labels", lambda: device.fit(x, bad))
        for bad, shape in ((np.array(3), "a 0-d array"),
                           (np.array([[1], [2], [3]]), "an array of shape (3, 1)"),
                           (np.ones((3, 1, 2), np.uint8), "an array of shape (3, 1, 2)")):
            raises(ValueError, "input_labels must hold one label per input, not " + shape + ".",
                   lambda: device.fit(x, bad))
        raises(TypeError, "", lambda: device.fit(x, (1, 2, 3)))
        frames = device.metrics["inference_frames"]
        device.forward(np.zeros((1, 4), np.uint8))
        board.clear_log()
        raises(RuntimeError, "Number of labels should be the same as number of inputs.",
               lambda: device.fit(x, [1, 2]))
        assert board.log == ["prepare_run 3 1", "enable_clock_counter 1"]
        assert device.metrics["inference_frames"] == 1
        assert device.fit.__doc__ == "Learn from inputs on a programmed device."
    """)


def test_output_types_and_empty_runs():
    run_script("""
        board = qt.SimulatedBoard("v2"); board.install()
        device = core.HardwareDevice.devices()[0]
        x = np.ones((2, 3), np.uint8)
        assert device.predict(x).dtype == np.float32
        board.set_outputs(7, [2, 1, 3])          # uint4
        assert device.forward(x).dtype == np.uint8 and device.forward(x).shape == (2, 2, 1, 3)
        board.set_outputs(0, [1, 1, 2])          # int32
        out = device.forward(x)
        assert out.dtype == np.int32 and out[1].ravel().tolist() == [3, 4]
        board.set_outputs(4, [1, 1, 2])          # int8
        assert device.forward(x).dtype == np.int8
        board.set_outputs(2, [1, 1, 2], count=0)
        empty = device.forward(x)
        assert empty.dtype == np.float64 and empty.shape == (0,)
        board.set_outputs(3, [1, 1, 2])          # int16 is refused after the metrics
        raises(RuntimeError, "Unexpected output type.",
               lambda: device.forward(np.ones((5, 3), np.uint8)))
        assert device.metrics["inference_frames"] == 5
        board.set_outputs(2, [1, 1, 2], count=3)  # more outputs than frames are still stacked
        assert device.forward(x).shape == (3, 1, 1, 2)
    """)


def test_power_events_follow_the_meter():
    run_script("""
        soc_board = qt.SimulatedBoard("v2", soc=True); soc_board.install()
        plain = qt.SimulatedBoard("v1"); plain.install()
        device, other = core.HardwareDevice.devices()
        x = np.ones((4, 2), np.uint8)
        device.forward(x)
        assert device.inference_power_events == []  # measurement off
        device.soc.power_measurement_enabled = True
        device.forward(x)
        events = device.inference_power_events
        assert [(e.ts, e.voltage, e.current) for e in events] == [(1, 1000000, 104)]
        assert device.inference_power_events is not events
        device.forward(x)
        assert len(device.inference_power_events) == 2
        device.soc.power_measurement_enabled = False
        device.forward(np.ones((1, 2), np.uint8))
        assert len(device.inference_power_events) == 2  # kept from the last measured run
        assert other.soc is None
        other.forward(x)
        assert other.inference_power_events == []
    """)


def test_power_events_read_earlier_keep_their_values():
    run_script("""
        board = qt.SimulatedBoard("v2", soc=True); board.install()
        device = core.HardwareDevice.devices()[0]
        device.soc.power_measurement_enabled = True
        x = np.ones((1, 2), np.uint8)
        device.forward(x); device.forward(x)
        events = device.inference_power_events
        for _ in range(3):  # replaced in place, then reallocated
            device.forward(x)
        assert [(e.ts, e.voltage) for e in events] == [(1, 1000000), (2, 1000000)]
    """)
