"""boardQtx7700.get_flash and SpiFlashController."""
import pytest

from test_hardware_device import run_script


def test_submodule_and_class_are_registered(core):
    board = core.boardQtx7700
    assert board.__doc__ == ("Spi flash controller for the qtx7700meant for testing, debugging "
                             "and validation only.")
    assert [name for name in dir(board) if not name.startswith("__")] == ["get_flash"]
    assert isinstance(core.SpiFlashController, type)
    assert not hasattr(board, "SpiFlashController")
    with pytest.raises(TypeError):
        core.SpiFlashController()


def test_get_flash_takes_hardware_devices_only(core):
    virtual = core.Device(core.HwVersion.QTX7700_v1,
                          core.NP.Mesh(core.IpVersion.v1, core.NP.Ident(1, 1, 0),
                                       core.NP.Ident(1, 1, 1), None, []))
    with pytest.raises(TypeError):
        core.boardQtx7700.get_flash(virtual)


def test_flash_of_boards_with_and_without_flash():
    run_script("""
        qt.SimulatedBoard("v1", flash=True).install()
        qt.SimulatedBoard("v1").install()
        with_flash, without = core.HardwareDevice.devices()
        controller = core.boardQtx7700.get_flash(with_flash)
        assert isinstance(controller, core.SpiFlashController)
        raises(RuntimeError, "get_id function is not yet implemented", controller.get_id)
        raises(ValueError, "The device does not contain an QTX7700 flash",
               lambda: core.boardQtx7700.get_flash(without))
    """)
