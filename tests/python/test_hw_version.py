import pytest

NAMED = {
    "Vrox_v1": ((0xBC, 0x00, 0, 1), "BC.00.000.001", "v1"),
    "Vrox_v2": ((0xBC, 0x00, 0, 2), "BC.00.000.002", "v1"),
    "Tavik_v1": ((0xBC, 0xA1, 3, 6), "BC.A1.003.006", "v1"),
    "QTX7700_v1": ((0xBC, 0xA1, 3, 9), "BC.A1.003.009", "v1"),
    "FPGA_v2": ((0xBC, 0xA2, 1, 0), "BC.A2.001.000", "v2"),
    "Mivo_FPGA": ((0xBC, 0xB1, 1, 0), "BC.B1.001.000", "mivo"),
}


@pytest.mark.parametrize("name", sorted(NAMED))
def test_named_versions(core, name):
    fields, text, ip = NAMED[name]
    version = getattr(core.HwVersion, name)
    assert (version.vendor_id, version.product_id, version.major_rev, version.minor_rev) == fields
    assert str(version) == text and repr(version) == text
    assert version.ip_version == getattr(core.IpVersion, ip)
    assert version == core.HwVersion(*fields)
    # One process-wide value, handed out by reference.
    assert getattr(core.HwVersion, name) is version


def test_text_form_pads_and_uses_upper_case_hex(core):
    assert str(core.HwVersion(0xBC, 0xA1, 3, 9)) == "BC.A1.003.009"
    assert str(core.HwVersion(0, 0, 0, 0)) == "00.00.000.000"
    assert str(core.HwVersion(255, 255, 255, 255)) == "FF.FF.255.255"
    assert str(core.HwVersion(0x0A, 0x0b, 7, 42)) == "0A.0B.007.042"
    assert len(repr(core.HwVersion(1, 2, 3, 4))) == 13


def test_ip_version_follows_product_id_only(core):
    IpVersion = core.IpVersion
    assert core.HwVersion(1, 0xB1, 0, 0).ip_version == IpVersion.mivo
    assert core.HwVersion(0, 0xA2, 9, 9).ip_version == IpVersion.v2
    assert core.HwVersion(7, 0x00, 0, 0).ip_version == IpVersion.v1
    assert core.HwVersion(0xBC, 0xA3, 0, 0).ip_version == IpVersion.none
    assert core.HwVersion(0xBC, 0x05, 0, 0).ip_version == IpVersion.none


def test_equality_and_hash(core):
    HwVersion = core.HwVersion
    assert HwVersion(0xBC, 0xA1, 3, 9) == HwVersion.QTX7700_v1
    assert not (HwVersion.QTX7700_v1 == HwVersion.Tavik_v1)
    assert HwVersion.QTX7700_v1 != HwVersion.Tavik_v1
    # Another type declines the comparison instead of raising.
    assert (HwVersion.FPGA_v2 == 5) is False
    assert (HwVersion.FPGA_v2 != "BC.A2.001.000") is True
    with pytest.raises(TypeError):
        hash(HwVersion.FPGA_v2)
    with pytest.raises(TypeError):
        {HwVersion.FPGA_v2}


def test_fields_are_read_only(core):
    version = core.HwVersion(1, 2, 3, 4)
    with pytest.raises(AttributeError):
        version.vendor_id = 9
    with pytest.raises(AttributeError):
        core.HwVersion.Vrox_v1.minor_rev = 7
    assert core.HwVersion.Vrox_v1.minor_rev == 1


@pytest.mark.parametrize("args", [(256, 0, 0, 0), (1.0, 0, 0, 0), (-1, 0, 0, 0), (0, 0, 0),
                                  (0, 0, 0, "1")])
def test_constructor_refuses_bad_bytes(core, args):
    with pytest.raises(TypeError):
        core.HwVersion(*args)


def test_constructor_takes_no_keywords(core):
    with pytest.raises(TypeError):
        core.HwVersion(vendor_id=1, product_id=2, major_rev=3, minor_rev=4)


def test_docstrings(core):
    HwVersion = core.HwVersion
    assert HwVersion.__doc__ is None
    assert HwVersion.vendor_id.__doc__ == "The hardware vendor identifier"
    assert HwVersion.product_id.__doc__ == "The hardware product identifier"
    assert HwVersion.major_rev.__doc__ == "The hardware major revision"
    assert HwVersion.minor_rev.__doc__ == "The hardware minor revision"
    assert HwVersion.ip_version.__doc__ == "The IP version."
