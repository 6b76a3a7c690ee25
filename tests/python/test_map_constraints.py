import gc

import pytest

from conftest import run_isolated


def make_device(core, version):
    NP = core.NP
    ip = version.ip_version
    mesh = NP.Mesh(ip, NP.Ident(1, 0, 0), NP.Ident(1, 0, 1), None,
                   [NP.Info(NP.Ident(i + 1, 1, 0), [NP.CNP1]) for i in range(4)])
    return core.Device(version, mesh)


@pytest.fixture
def testing():
    return pytest.importorskip("qalto_testing")


@pytest.fixture
def v1(core):
    return core.MapConstraints(make_device(core, core.HwVersion.QTX7700_v1))


@pytest.fixture
def v2(core):
    return core.MapConstraints(make_device(core, core.HwVersion.FPGA_v2))


@pytest.fixture
def mivo(core):
    return core.MapConstraints(make_device(core, core.HwVersion.Mivo_FPGA))


def idents(core, *cols):
    return [core.NP.Ident(c, 1, 0) for c in cols]


# --- limits and defaults ----------------------------------------------------------------------

@pytest.mark.parametrize("version, defaults", [
    ("QTX7700_v1", (32, 256, 512)), ("Vrox_v1", (32, 256, 512)), ("Vrox_v2", (32, 256, 504)),
    ("FPGA_v2", (64, 256, 512)), ("Mivo_FPGA", (0, 0, 0)),
])
def test_defaults_by_generation(core, version, defaults):
    c = core.MapConstraints(make_device(core, getattr(core.HwVersion, version)))
    assert (c.cnp_max_width_default, c.cnp_max_height_default,
            c.cnp_max_filters_default) == defaults
    assert (c.cnp_max_width, c.cnp_max_height, c.cnp_max_filters) == defaults
    assert c.hwpr_loopitself is False


def test_setters_accept_up_to_the_default(v2):
    v2.cnp_max_width = 64
    v2.cnp_max_height = 0
    v2.cnp_max_filters = 100
    assert (v2.cnp_max_width, v2.cnp_max_height, v2.cnp_max_filters) == (64, 0, 100)


@pytest.mark.parametrize("name, default, word", [("cnp_max_width", 64, "width"),
                                                 ("cnp_max_height", 256, "height"),
                                                 ("cnp_max_filters", 512, "filters")])
def test_setter_above_default_is_refused_and_keeps_value(v2, name, default, word):
    setattr(v2, name, 7)
    with pytest.raises(ValueError) as error:
        setattr(v2, name, default + 1)
    assert str(error.value) == f"CNP max {word} should be <= {default}. Receives {default + 1}."
    with pytest.raises(ValueError):
        setattr(v2, name, 4294967295)
    assert getattr(v2, name) == 7


@pytest.mark.parametrize("value", [-1, 4294967296, 1.5, "3", None])
def test_setter_refuses_non_u32(v1, value):
    with pytest.raises(TypeError):
        v1.cnp_max_width = value
    assert v1.cnp_max_width == 32


def test_reduced_filters_version(core):
    c = core.MapConstraints(make_device(core, core.HwVersion.Vrox_v2))
    with pytest.raises(ValueError, match=r"^CNP max filters should be <= 504\. Receives 505\.$"):
        c.cnp_max_filters = 505
    c.cnp_max_filters = 504


def test_mivo_accepts_only_zero(mivo):
    for name in ("cnp_max_width", "cnp_max_height", "cnp_max_filters"):
        with pytest.raises(ValueError):
            setattr(mivo, name, 1)
        setattr(mivo, name, 0)
        assert getattr(mivo, name) == 0


def test_hwpr_loopitself_only_on_v2(v1, v2, mivo):
    v2.hwpr_loopitself = True
    assert v2.hwpr_loopitself is True
    v2.hwpr_loopitself = False
    assert v2.hwpr_loopitself is False
    for c in (v1, mivo):
        with pytest.raises(ValueError) as error:
            c.hwpr_loopitself = True
        assert str(error.value) == "HWPR NP loopitself feature is only supported for IP v2."
        assert c.hwpr_loopitself is False
        c.hwpr_loopitself = False


def test_defaults_are_read_only(v1):
    with pytest.raises(AttributeError):
        v1.cnp_max_width_default = 1
    with pytest.raises(AttributeError):
        v1.device = None


def test_construction_errors(core):
    with pytest.raises(ValueError, match=r"^Invalid device passed to MapConstraints\.$"):
        core.MapConstraints(None)
    with pytest.raises(TypeError):
        core.MapConstraints(core.HwVersion.FPGA_v2)


def test_device_is_the_device_given(core):
    device = make_device(core, core.HwVersion.FPGA_v2)
    c = core.MapConstraints(device)
    assert isinstance(c.device, core.Device)
    assert c.device.desc == "VirtualDevice/BC.A2.001.000"
    del device
    gc.collect()
    assert c.device.mesh.np_sram_size == core.NP.SramSize_v2  # the constraints keep it


# --- hooks: base behaviour --------------------------------------------------------------------

def test_base_select_nps(core, v1):
    three = idents(core, 1, 2, 3)
    assert v1.select_nps(three, 2, core.NP.CNP1) == three[:2]
    assert v1.select_nps(three, 5, core.NP.CNP1) == three
    assert v1.select_nps(three, 0, core.NP.CNP1) == []
    assert v1.select_nps([], 3, core.NP.FNP3) == []
    assert v1.select_nps(source_nps=three, num_nps=1, type=core.NP.CNP2) == three[:1]
    result = v1.select_nps(three, 3, core.NP.CNP1)
    result[0].col = 99  # new objects
    assert three[0].col == 1
    assert v1.next_layer("conv") is None
    with pytest.raises(TypeError):
        v1.select_nps(three, -1, core.NP.CNP1)


def test_base_hooks_from_cpp(core, v1, testing):
    three = idents(core, 1, 2, 3)
    assert testing.call_select_nps(v1, three, 2, core.NP.CNP1) == three[:2]
    assert testing.call_next_layer_handler(v1, b"conv") is None


# --- hooks: Python overrides called from C++ ---------------------------------------------------

def make_recorder(core):
    class Recorder(core.MapConstraints):
        def __init__(self, device):
            super().__init__(device)
            self.names = []
            self.calls = []

        def next_layer_handler(self, layer_name):
            self.names.append(layer_name)
            return "ignored"

        def select_nps(self, source_nps, num_nps, type):
            self.calls.append((list(source_nps), num_nps, type))
            source_nps.reverse()
            return source_nps[:num_nps]

    return Recorder


def test_override_select_nps_is_called_from_cpp(core, testing):
    c = make_recorder(core)(make_device(core, core.HwVersion.FPGA_v2))
    three = idents(core, 1, 2, 3)
    assert testing.call_select_nps(c, three, 3, core.NP.CNP2) == idents(core, 3, 2, 1)
    assert testing.call_select_nps(c, three, 1, core.NP.FNP3) == idents(core, 3)
    (source, count, kind), _ = c.calls
    assert source == three and count == 3 and type(count) is int
    assert kind == core.NP.CNP2 and isinstance(kind, core.NP.Type)
    # The override reversed its own list, not the caller's.
    assert three == idents(core, 1, 2, 3)


def test_override_may_answer_identifiers_outside_the_candidates(core, testing):
    class Outside(core.MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            return [core.NP.Ident(9, 9, 9, 1)] * (num_nps + 1)

    c = Outside(make_device(core, core.HwVersion.FPGA_v2))
    # Passed on as they are: judging the count is the mapping's business.
    assert testing.call_select_nps(c, idents(core, 1), 1, core.NP.CNP1) == [
        core.NP.Ident(9, 9, 9, 1)] * 2


def test_override_next_layer_handler(core, testing):
    c = make_recorder(core)(make_device(core, core.HwVersion.FPGA_v2))
    assert testing.call_next_layer_handler(c, b"conv_1") is None
    c.next_layer("dense")
    testing.call_next_layer_handler(c, "\u00e9t\u00e9".encode())
    assert c.names == ["conv_1", "dense", "\u00e9t\u00e9"]


def test_invalid_utf8_name_fails_before_the_override(core, testing):
    c = make_recorder(core)(make_device(core, core.HwVersion.FPGA_v2))
    with pytest.raises(UnicodeDecodeError):
        testing.call_next_layer_handler(c, b"\xff\xfe")
    assert c.names == []


def test_only_next_layer_handler_is_the_hook(core, testing):
    class OnlyEntry(core.MapConstraints):
        called = False

        def next_layer(self, layer_name):
            OnlyEntry.called = True

    c = OnlyEntry(make_device(core, core.HwVersion.FPGA_v2))
    testing.call_next_layer_handler(c, b"conv")
    assert OnlyEntry.called is False


def test_override_through_super_runs_the_base(core, testing):
    class Doubling(core.MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            return super().select_nps(source_nps, num_nps, type) * 2

        def next_layer_handler(self, layer_name):
            # The Python entry of the hook; from inside the override it runs the base.
            super().next_layer(layer_name)

    c = Doubling(make_device(core, core.HwVersion.QTX7700_v1))
    three = idents(core, 1, 2, 3)
    assert testing.call_select_nps(c, three, 1, core.NP.CNP1) == three[:1] * 2
    testing.call_next_layer_handler(c, b"x")


def test_subclass_without_overrides_uses_the_base(core, testing):
    class Plain(core.MapConstraints):
        pass

    c = Plain(make_device(core, core.HwVersion.FPGA_v2))
    three = idents(core, 1, 2, 3)
    assert testing.call_select_nps(c, three, 2, core.NP.CNP1) == three[:2]
    c.cnp_max_width = 10
    assert c.cnp_max_width == 10


def test_override_exceptions_propagate(core, testing):
    class Failing(core.MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            raise KeyError("no NP")

        def next_layer_handler(self, layer_name):
            raise ZeroDivisionError(layer_name)

    c = Failing(make_device(core, core.HwVersion.FPGA_v2))
    with pytest.raises(KeyError, match="no NP"):
        testing.call_select_nps(c, idents(core, 1), 1, core.NP.CNP1)
    with pytest.raises(ZeroDivisionError, match="conv"):
        testing.call_next_layer_handler(c, b"conv")


@pytest.mark.parametrize("result", [None, 3, [1], "ab", b"ab", [None], {1: 2}])
def test_override_result_that_is_no_ident_list(core, testing, result):
    class Bad(core.MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            return result

    c = Bad(make_device(core, core.HwVersion.FPGA_v2))
    with pytest.raises(RuntimeError):
        testing.call_select_nps(c, idents(core, 1), 1, core.NP.CNP1)


def test_override_result_may_be_a_tuple(core, testing):
    class Tuple(core.MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            return tuple(source_nps[1:])

    c = Tuple(make_device(core, core.HwVersion.FPGA_v2))
    assert testing.call_select_nps(c, idents(core, 1, 2), 1, core.NP.CNP1) == idents(core, 2)


def test_type_without_entry_reaches_the_override(core, testing):
    seen = []

    class Seeing(core.MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            seen.append(int(type))
            return source_nps

    c = Seeing(make_device(core, core.HwVersion.FPGA_v2))
    testing.call_select_nps(c, [], 0, core.NP.Type(10))
    assert seen == [10]


def test_subclass_without_base_init_is_refused(core, testing):
    class Broken(core.MapConstraints):
        def __init__(self):
            pass

    with pytest.raises(TypeError):
        Broken()


# --- lifetime ---------------------------------------------------------------------------------

def test_cpp_keeps_the_python_subclass_alive(core, testing):
    c = make_recorder(core)(make_device(core, core.HwVersion.FPGA_v2))
    c.cnp_max_width = 12
    names = c.names
    testing.hold_constraints(c)
    del c
    gc.collect()
    try:
        assert testing.held_select_nps(idents(core, 1, 2), 2, core.NP.CNP1) == idents(core, 2, 1)
        testing.held_next_layer_handler("late")
        assert names == ["late"]
        assert testing.held_cnp_max_width() == 12
    finally:
        testing.release_constraints()
    with pytest.raises(RuntimeError, match="No constraints are held."):
        testing.held_cnp_max_width()


def test_released_subclass_is_collected():
    result = run_isolated(
        "import gc, weakref, qalto.core as c, qalto_testing as t\n"
        "NP = c.NP\n"
        "mesh = NP.Mesh(c.IpVersion.v2, NP.Ident(0, 0, 0), NP.Ident(0, 0, 1), None, [])\n"
        "class Sub(c.MapConstraints):\n"
        "    def select_nps(self, source_nps, num_nps, type):\n"
        "        return source_nps[::-1]\n"
        "s = Sub(c.Device(c.HwVersion.FPGA_v2, mesh))\n"
        "alive = weakref.ref(s)\n"
        "t.hold_constraints(s)\n"
        "del s; gc.collect()\n"
        "assert alive() is not None\n"
        "ids = [NP.Ident(1, 1, 0), NP.Ident(2, 1, 0)]\n"
        "assert t.held_select_nps(ids, 2, NP.CNP1) == ids[::-1]\n"
        "t.release_constraints(); gc.collect()\n"
        "assert alive() is None\n"
        "t.hold_constraints(Sub(c.Device(c.HwVersion.FPGA_v2, mesh)))\n"
        "print('ok')\n")  # still held at exit: the interpreter ends without a crash
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


# --- docstrings -------------------------------------------------------------------------------

def test_docstrings(core):
    MC = core.MapConstraints
    assert MC.__doc__ is None
    assert ("Obtain hardware constraints from a device.\n\n           Args:\n"
            "              device(qalto.device): the device.") in MC.__init__.__doc__
    assert MC.cnp_max_width_default.__doc__.startswith("The maximal width to map a CNP.\n\n")
    assert "Returns" in MC.cnp_max_height_default.__doc__
    assert MC.cnp_max_filters_default.__doc__.startswith("The maximal filters number to map a CNP.")
    assert MC.device.__doc__.startswith("Return the device used.")
    assert MC.cnp_max_width.__doc__ == "The width to use to map a CNP."
    assert MC.cnp_max_height.__doc__ == "The height to use to map a CNP."
    assert MC.cnp_max_filters.__doc__ == "The filters number to use to map a CNP."
    assert MC.hwpr_loopitself.__doc__ == "The HWPR NP loopitself feature."
    assert ("\n           Callback on the layer mapping.\n\n           Args:\n"
            "             layer_name (str): the layer name") in MC.next_layer.__doc__
    assert "Selection from a predefined list of NPs." in MC.select_nps.__doc__
