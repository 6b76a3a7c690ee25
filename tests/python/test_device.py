import gc

import pytest

from conftest import run_isolated


def mesh_of(core, ip, nps=2):
    NP = core.NP
    return NP.Mesh(getattr(core.IpVersion, ip), NP.Ident(1, 0, 0), NP.Ident(1, 0, 1), None,
                   [NP.Info(NP.Ident(i + 1, 1, 0), [NP.CNP1, NP.CNP2]) for i in range(nps)])


def test_virtual_device_reports_its_version_and_mesh(core):
    mesh = mesh_of(core, "v1")
    device = core.Device(core.HwVersion(0xBC, 0xA1, 3, 9), mesh)
    assert device.desc == "VirtualDevice/BC.A1.003.009"
    assert device.ip_version == core.IpVersion.v1
    assert device.version == core.HwVersion.QTX7700_v1
    assert device.mesh == mesh
    # The version is a copy; the named constant is untouched by anything done to it.
    assert device.version is not core.HwVersion.QTX7700_v1


@pytest.mark.parametrize("version, ip, desc", [
    ("FPGA_v2", "v2", "VirtualDevice/BC.A2.001.000"),
    ("Mivo_FPGA", "mivo", "VirtualDevice/BC.B1.001.000"),
    ("Vrox_v2", "v1", "VirtualDevice/BC.00.000.002"),
])
def test_every_generation_makes_a_device(core, version, ip, desc):
    device = core.Device(getattr(core.HwVersion, version), mesh_of(core, ip))
    assert device.desc == desc
    assert device.ip_version == getattr(core.IpVersion, ip)


def test_version_disagreement_is_refused(core):
    message = ("Incompatible hardware and Ip versions: HW Version is 188.162.1.0 with product "
               "id = 162 while IP version is v1.")
    with pytest.raises(ValueError) as error:
        core.Device(core.HwVersion.FPGA_v2, mesh_of(core, "v1"))
    assert str(error.value) == message


@pytest.mark.parametrize("ip", ["v1", "v2", "mivo"])
def test_unknown_product_id_is_refused_with_every_mesh(core, ip):
    with pytest.raises(ValueError, match=r"product id = 5 while IP version is " + ip + r"\.$"):
        core.Device(core.HwVersion(0xBC, 0x05, 0, 0), mesh_of(core, ip))


def test_mivo_version_with_v2_mesh_names_both(core):
    with pytest.raises(ValueError) as error:
        core.Device(core.HwVersion(1, 0xB1, 2, 3), mesh_of(core, "v2"))
    assert str(error.value) == ("Incompatible hardware and Ip versions: HW Version is 1.177.2.3 "
                                "with product id = 177 while IP version is v2.")


def test_constructor_argument_types(core):
    mesh = mesh_of(core, "v1")
    with pytest.raises(TypeError):
        core.Device(mesh, core.HwVersion.Vrox_v1)
    with pytest.raises(TypeError):
        core.Device(core.HwVersion.Vrox_v1)
    with pytest.raises(TypeError):
        core.Device(version=core.HwVersion.Vrox_v1, mesh=mesh)


def test_device_copies_the_mesh(core):
    NP = core.NP
    mesh = mesh_of(core, "v2", nps=3)
    device = core.Device(core.HwVersion.FPGA_v2, mesh)
    mesh.nps = []
    mesh.np_sram_size.input_bytes = 1
    mesh.hrc = NP.Info.hrc(True)
    assert len(device.mesh.nps) == 3
    assert device.mesh.np_sram_size == NP.SramSize_v2
    assert device.mesh.hrc is None


def test_device_mesh_refers_into_the_device_and_keeps_it_alive(core):
    device = core.Device(core.HwVersion.FPGA_v2, mesh_of(core, "v2"))
    device.mesh.nps[0].has_lut = True
    assert device.mesh.nps[0].has_lut is True
    mesh = device.mesh
    first = mesh.nps[1]
    del device
    gc.collect()
    assert len(mesh.nps) == 2 and mesh.nps[0].has_lut is True
    assert first.ident == core.NP.Ident(2, 1, 0)
    assert mesh.np_sram_size == core.NP.SramSize_v2


def test_device_properties_are_read_only(core):
    device = core.Device(core.HwVersion.Vrox_v1, mesh_of(core, "v1"))
    for name in ("desc", "version", "ip_version", "mesh"):
        with pytest.raises(AttributeError):
            setattr(device, name, None)


def test_docstrings(core):
    Device = core.Device
    assert Device.__doc__ is None
    assert Device.desc.__doc__ == ("\n             Returns the Device description\n\n"
                                   "             :return: a string describing the Device\n"
                                   "           ")
    assert Device.version.__doc__ == "The device hardware version."
    assert Device.ip_version.__doc__ == "The device IP version."
    assert Device.mesh.__doc__ == "The device Mesh layout"


def test_mesh_of_a_dropped_device_stays_valid_in_a_fresh_interpreter():
    # Run alone so that nothing else in the process keeps the device alive by accident.
    result = run_isolated(
        "import gc, qalto.core as c\n"
        "NP = c.NP\n"
        "m = NP.Mesh(c.IpVersion.mivo, NP.Ident(0, 0, 0), NP.Ident(0, 0, 1), None,\n"
        "            [NP.Info(NP.Ident(0, 0, 0), [NP.TNP_R])])\n"
        "mesh = c.Device(c.HwVersion.Mivo_FPGA, m).mesh\n"
        "gc.collect()\n"
        "junk = [NP.Mesh(c.IpVersion.v1, NP.Ident(5, 5, 5), NP.Ident(5, 5, 5), None, []) "
        "for _ in range(1000)]\n"
        "assert mesh == m\n"
        "assert mesh.nps[0].types == [NP.TNP_R]\n"
        "print('ok')\n")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
