"""SocDriver over simulated SoC boards (each case in a fresh interpreter)."""
from test_hardware_device import run_script


def test_soc_driver_class_has_no_constructor(core):
    import pytest
    with pytest.raises(TypeError):
        core.SocDriver()
    assert core.SocDriver.clock_mode.__doc__ == "Clock mode of the Vrox."
    assert core.SocDriver.power_meter.__doc__ == "Power meter associated to the SoC."
    assert core.SocDriver.power_measurement_enabled.__doc__ == (
        "Power measurement is off by default. Toggle it on to get power information in the "
        "statistics or when calling PowerMeter.events().")


def test_clock_mode_goes_through_the_clock_registers():
    run_script("""
        board = qt.SimulatedBoard("v1", soc=True); board.install()
        soc = core.HardwareDevice.devices()[0].soc
        assert isinstance(soc, core.SocDriver)
        assert soc.clock_mode == core.soc.Performance
        board.clear_log()
        soc.clock_mode = core.soc.ClockMode.Economy
        assert board.log[:5] == ["read 0xf0001030", "write 0xf00011a0 11", "write 0xf0001190 5",
                                 "write 0xf00011b0 5", "write 0xf0001030 1"]
        assert soc.clock_mode == core.soc.Economy
        board.set_register(0xF0001190, 2)
        raises(RuntimeError, "Unexpected frequency value detected: 200000000.",
               lambda: soc.clock_mode)
        for value, name in ((300000000, "int"), (core.Hardware, "BackendType")):
            raises(TypeError, "clock_mode must be a soc.ClockMode, not " + name + ".",
                   lambda: setattr(soc, "clock_mode", value))
        board.clock_stuck = True
        raises(RuntimeError, "Clock mode is already changing.",
               lambda: setattr(soc, "clock_mode", core.soc.LowPower))
    """)


def test_power_measurement_switch_and_meter():
    run_script("""
        board = qt.SimulatedBoard("v2", soc=True); board.install()
        device = core.HardwareDevice.devices()[0]
        soc = device.soc
        assert soc.power_measurement_enabled is False and soc.power_meter is None
        soc.power_measurement_enabled = 1
        assert soc.power_measurement_enabled is True
        meter = soc.power_meter
        assert isinstance(meter, core.PowerMeter) and meter.floor is None
        board.log_power_event(5, 1000000, 300)
        assert [e.power for e in soc.power_meter.events()] == [300]
        soc.power_measurement_enabled = np.bool_(False)
        assert soc.power_meter is None
        soc.power_measurement_enabled = True
        assert soc.power_meter.floor == 300.0  # the board keeps its meter
        soc.power_measurement_enabled = None
        assert soc.power_measurement_enabled is False
        assert board.log_of("set_power_measurement_enabled") == [
            "set_power_measurement_enabled 1", "set_power_measurement_enabled 0",
            "set_power_measurement_enabled 1", "set_power_measurement_enabled 0"]
        del device
        assert soc.clock_mode == core.soc.Performance  # the driver outlives the wrapper
    """)
