import pickle


def test_module_identity(core):
    assert core.__doc__ == "Qalto core library"
    assert isinstance(core.__version__, str) and core.__version__


def test_backend_type_members_are_exported(core):
    assert core.BackendType.Hardware is core.Hardware
    assert int(core.Hardware) == 1
    assert core.BackendType.__doc__ is None
    assert [m for m in core.BackendType.__members__] == ["Software", "Hardware", "Hybrid"]


def test_ip_version_and_clock_mode(core):
    assert core.mivo is core.IpVersion.mivo and int(core.mivo) == 3
    assert core.IpVersion.__doc__ == "The reference Qalto IP version"
    assert core.soc.LowPower is core.soc.ClockMode.LowPower
    assert int(core.soc.LowPower) == 5000000
    assert core.soc.__doc__ == "Qalto Vrox specific functions"
    assert core.soc.ClockMode.__doc__ == "Clock mode configuration"


def test_enum_members_compare_only_within_their_enum(core):
    assert (core.BackendType.Software == 0) is False
    assert int(core.BackendType.Software) == 0
    assert core.BackendType.Software != core.IpVersion.none
    assert hash(core.v2) == hash(core.IpVersion.v2)
    assert [1, 2, 3][core.Hardware] == 2  # usable as an index


def test_enum_members_pickle_and_print(core):
    assert pickle.loads(pickle.dumps(core.soc.Economy)) == core.soc.Economy
    assert str(core.v1) == "IpVersion.v1"
    assert core.v1.name == "v1"
    assert "mivo" in repr(core.mivo)


def test_submodules_registered(core):
    assert core.NP.__doc__ == "Neural Processor"
