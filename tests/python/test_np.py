import gc

import pytest

from conftest import run_isolated


@pytest.fixture
def NP(core):
    return core.NP


def info(NP, col, row=1, id=0, types=None, has_lut=False):
    return NP.Info(NP.Ident(col, row, id), types or [NP.CNP1], has_lut)


def v1_mesh(core, count=2, hrc=None):
    NP = core.NP
    return NP.Mesh(core.IpVersion.v1, NP.Ident(9, 9, 0), NP.Ident(9, 9, 1), hrc,
                   [info(NP, i + 1) for i in range(count)])


# --- SramSize -------------------------------------------------------------------------------

def test_sram_size_constructors_select_by_count_or_keywords(NP):
    assert NP.SramSize() == NP.SramSize(0, 0) == NP.SramSize(0, 0, 0, 0)
    s = NP.SramSize(1, 2)
    assert (s.input_bytes, s.weight_bytes, s.stsram_32b_size) == (1, 2, 0)
    m = NP.SramSize(3, 4, 5, 6)
    assert (m.input_bytes, m.weight_bytes) == (0, 0)
    assert (m.stsram_32b_size, m.fsram_64b_size, m.tsram_51b_size, m.evsram_32b_size) == (3, 4, 5, 6)
    k = NP.SramSize(stsram_32b_size=1, fsram_64b_size=2, tsram_51b_size=3, evsram_32b_size=4)
    assert k == NP.SramSize(1, 2, 3, 4)
    assert NP.SramSize(weight_bytes=7, input_bytes=8) == NP.SramSize(8, 7)
    big = NP.SramSize(4294967295, 0)
    assert big.input_bytes == 4294967295
    big.weight_bytes = 12
    assert big == NP.SramSize(4294967295, 12)


@pytest.mark.parametrize("args", [(-1, 0), (4294967296, 0), (1.5, 0), (1, 2, 3), (1, 2, 3, 4, 5)])
def test_sram_size_refuses_bad_sizes(NP, args):
    with pytest.raises(TypeError):
        NP.SramSize(*args)


def test_sram_size_setter_refuses_out_of_range(NP):
    s = NP.SramSize(1, 2)
    with pytest.raises(TypeError):
        s.input_bytes = -1
    assert s.input_bytes == 1


def test_per_generation_constants(NP):
    assert NP.SramSize(43008, 44800) == NP.SramSize_v1
    assert NP.SramSize(65536, 51200) == NP.SramSize_v2
    assert NP.SramSize(448, 8192, 892, 256) == NP.SramSize_mivo
    assert NP.SramSize_v1 != NP.SramSize_v2


def test_changing_a_constant_never_reaches_meshes():
    result = run_isolated(
        "import qalto.core as c\n"
        "NP = c.NP\n"
        "NP.SramSize_v1.input_bytes = 1\n"
        "NP.SramSize_mivo.evsram_32b_size = 2\n"
        "m = NP.Mesh(c.IpVersion.v1, NP.Ident(0, 0, 0), NP.Ident(0, 0, 1), None, [])\n"
        "assert m.np_sram_size == NP.SramSize(43008, 44800), m.np_sram_size.input_bytes\n"
        "m = NP.Mesh(c.IpVersion.mivo, NP.Ident(0, 0, 0), NP.Ident(0, 0, 1), None, [])\n"
        "assert m.np_sram_size == NP.SramSize(448, 8192, 892, 256)\n"
        "assert NP.SramSize_v1.input_bytes == 1\n"
        "print('ok')\n")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_sram_size_is_unhashable_and_declines_other_types(NP):
    with pytest.raises(TypeError):
        hash(NP.SramSize())
    assert (NP.SramSize() == 0) is False
    assert NP.SramSize() != "x"


# --- Mesh -----------------------------------------------------------------------------------

@pytest.mark.parametrize("ip, sizes", [("v1", (43008, 44800)), ("v2", (65536, 51200)),
                                       ("mivo", (448, 8192, 892, 256))])
def test_mesh_takes_sram_size_of_its_version(core, ip, sizes):
    NP = core.NP
    mesh = NP.Mesh(getattr(core.IpVersion, ip), NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), None,
                   [info(NP, 1)])
    assert mesh.np_sram_size == NP.SramSize(*sizes)
    assert mesh.skip_dmas == []


def test_mesh_without_ip_version_is_refused(core):
    NP = core.NP
    for extra in ([], [[], NP.SramSize(1, 2)]):
        with pytest.raises(RuntimeError, match="^The mesh should have a valid IP version.$"):
            NP.Mesh(core.IpVersion.none, NP.Ident(0, 0, 0), NP.Ident(0, 0, 0), None, [], *extra)


def test_mesh_with_given_sram_size(core):
    NP = core.NP
    args = (core.IpVersion.v2, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), None, [])
    by_keyword = NP.Mesh(*args, np_sram_size=NP.SramSize(1, 2))
    assert by_keyword.np_sram_size == NP.SramSize(1, 2)
    positional = NP.Mesh(*args, [], NP.SramSize(1, 2))
    assert positional == by_keyword
    named = NP.Mesh(version=core.IpVersion.mivo, dma_event=NP.Ident(1, 1, 0),
                    dma_conf=NP.Ident(1, 1, 1), has_hrc=NP.Info.hrc(True), nps=[],
                    np_sram_size=NP.SramSize(3, 4, 5, 6))
    assert named.np_sram_size == NP.SramSize(3, 4, 5, 6)
    assert named.hrc == NP.Info.hrc(True)


@pytest.mark.parametrize("bad", [
    dict(version=1), dict(nps="abc"), dict(nps=[1]), dict(hrc=5), dict(dma_event=(1, 1, 0)),
])
def test_mesh_constructor_type_errors(core, bad):
    NP = core.NP
    args = dict(version=core.IpVersion.v1, dma_event=NP.Ident(1, 1, 0),
                dma_conf=NP.Ident(1, 1, 1), hrc=None, nps=[])
    args.update(bad)
    with pytest.raises(TypeError):
        NP.Mesh(**args)


def test_mesh_endpoint_and_sram_properties_refer_into_the_mesh(core):
    mesh = v1_mesh(core)
    event = mesh.dma_event
    event.col = 42
    assert mesh.dma_event.col == 42
    mesh.np_sram_size.input_bytes = 5
    assert mesh.np_sram_size.input_bytes == 5
    given = core.NP.Ident(3, 4, 5, 6)
    mesh.dma_conf = given
    given.col = 0  # assignment copied
    assert mesh.dma_conf == core.NP.Ident(3, 4, 5, 6)
    sram = mesh.np_sram_size
    del mesh
    gc.collect()
    assert sram.input_bytes == 5  # the returned object keeps the mesh alive


def test_mesh_lists_are_new_lists_of_views(core):
    NP = core.NP
    mesh = v1_mesh(core, count=2)
    nps = mesh.nps
    nps.append(info(NP, 7))
    assert len(mesh.nps) == 2
    mesh.nps = nps
    assert len(mesh.nps) == 3 and mesh.nps[2].ident == NP.Ident(7, 1, 0)
    mesh.nps[0].has_lut = True
    assert mesh.nps[0].has_lut
    copy = list(mesh.nps)
    copy[1].has_lut = True
    assert mesh.nps[1].has_lut
    mesh.nps[0].ident.col = 99
    assert mesh.nps[0].ident.col == 99


def test_assigning_a_list_copies_its_elements(core):
    NP = core.NP
    mesh = v1_mesh(core, count=0)
    element = info(NP, 5)
    mesh.skip_dmas = (element,)  # any sequence
    element.has_lut = True
    assert mesh.skip_dmas[0].has_lut is False


def test_bad_list_assignment_leaves_the_mesh_unchanged(core):
    NP = core.NP
    mesh = v1_mesh(core, count=2)
    before = mesh.nps
    for bad in ("ab", b"ab", [info(NP, 1), 3], [None], None, 5):
        with pytest.raises(TypeError):
            mesh.nps = bad
    assert mesh.nps == before
    with pytest.raises(TypeError):
        mesh.hrc = 3
    assert mesh.hrc is None


def test_elements_read_before_reassignment_never_dangle(core):
    NP = core.NP
    mesh = v1_mesh(core, count=3)
    first = mesh.nps[0]
    ident = first.ident
    hrc_mesh = v1_mesh(core, hrc=NP.Info.hrc(True))
    hrc = hrc_mesh.hrc
    hrc_ident = hrc.ident
    skip = NP.Mesh(core.IpVersion.v2, NP.Ident(0, 0, 0), NP.Ident(0, 0, 1), None, [],
                   [NP.Info(NP.Ident(1, 2, 3, 4), [NP.SKIP_DMA_STORE])])
    skip_element = skip.skip_dmas[0]
    # Larger lists force new storage; the old elements keep the values they showed.
    mesh.nps = [info(NP, 50 + i, types=[NP.FNP3]) for i in range(64)]
    hrc_mesh.hrc = None
    skip.skip_dmas = []
    gc.collect()
    for _ in range(3):  # churn the allocator
        junk = [info(NP, i % 200, types=[NP.TNP_B, NP.TNP_R]) for i in range(500)]
        del junk
    assert first.ident == NP.Ident(1, 1, 0) and first.types == [NP.CNP1]
    assert ident == NP.Ident(1, 1, 0) and str(ident) == "(1, 1, 0)"
    assert hrc.types == [NP.HRC] and hrc.has_lut and hrc_ident == NP.Ident(0, 0, 0)
    assert skip_element.ident == NP.Ident(1, 2, 3, 4)
    # The detached objects now own their values: writing them no longer reaches the mesh.
    first.has_lut = True
    ident.col = 7
    assert mesh.nps[0].has_lut is False and mesh.nps[0].ident.col == 50
    assert hrc_mesh.hrc is None
    # A fresh read refers into the new storage again.
    mesh.nps[0].has_lut = True
    assert mesh.nps[0].has_lut is True
    del mesh, first, ident, hrc, hrc_ident, skip_element
    gc.collect()


def test_hrc_property(core):
    NP = core.NP
    mesh = v1_mesh(core, hrc=NP.Info.hrc(False))
    without = v1_mesh(core)
    assert mesh != without
    mesh.hrc.has_lut = True
    assert mesh.hrc.has_lut is True
    mesh.hrc = None
    assert mesh.hrc is None
    assert mesh == without
    mesh.hrc = NP.Info.hrc(True)
    assert mesh.hrc == NP.Info.hrc(True)


def test_mesh_equality_is_memberwise_and_ordered(core):
    NP = core.NP
    a, b = v1_mesh(core), v1_mesh(core)
    assert a == b
    b.nps = list(reversed(b.nps))
    assert a != b
    b = v1_mesh(core)
    b.np_sram_size.evsram_32b_size = 1
    assert a != b
    b = v1_mesh(core)
    b.dma_conf.channel = 1
    assert a != b
    v2 = NP.Mesh(core.IpVersion.v2, NP.Ident(9, 9, 0), NP.Ident(9, 9, 1), None, a.nps,
                 np_sram_size=NP.SramSize_v1)
    assert a != v2  # the version differs
    assert (a == 1) is False and a != 1
    with pytest.raises(TypeError):
        hash(a)


def test_mesh_docstrings(NP):
    assert NP.__doc__ == "Neural Processor"
    assert NP.Mesh.__doc__.startswith("\n    Represents the layout of a mesh of Neural Processors.")
    assert NP.Mesh.nps.__doc__ == "Neural processors"
    assert NP.Mesh.hrc.__doc__ == "HRC if installed."
    assert NP.Mesh.np_sram_size.__doc__ == "Size of shared SRAM available inside the mesh for NPs."
    assert NP.SramSize.__doc__ == "Size of shared SRAM available inside the mesh.\n      "
    assert NP.SramSize.tsram_51b_size.__doc__ == "Size of TSRAM in 51-bit words (Mivo only)."


# --- Ident, Type, Info ------------------------------------------------------------------------

def test_ident(NP):
    ident = NP.Ident(0, 1, 2)
    assert str(ident) == repr(ident) == "(0, 1, 2)"
    assert ident == NP.Ident(0, 1, 2, 0)
    assert ident != NP.Ident(0, 1, 2, 1)
    assert str(NP.Ident(1, 2, 3, 4)) == "(1, 2, 3)"
    assert str(NP.Ident(255, 10, 0)) == "(255, 10, 0)"
    ident.channel = 255
    assert ident.channel == 255
    with pytest.raises(TypeError):
        ident.col = 256
    with pytest.raises(TypeError):
        hash(ident)
    assert (ident == (0, 1, 2)) is False


@pytest.mark.parametrize("args", [(256, 0, 0), (-1, 0, 0), (0.5, 0, 0), (0, 0), (0, 0, 0, 0, 0)])
def test_ident_refuses_bad_bytes(NP, args):
    with pytest.raises(TypeError):
        NP.Ident(*args)


def test_type_enum(NP):
    names = ["HRC", "CNP1", "CNP2", "FNP2", "FNP3", "TNP_B", "TNP_R", "SKIP_DMA_STORE",
             "SKIP_DMA_LOAD"]
    assert list(NP.Type.__members__) == names
    assert [int(NP.Type.__members__[n]) for n in names] == [1, 2, 3, 4, 5, 7, 8, 6, 9]
    assert NP.HRC is NP.Type.HRC
    assert int(NP.SKIP_DMA_LOAD) == 9
    assert NP.Type(9) == NP.SKIP_DMA_LOAD
    assert NP.Type.__doc__ == "Harwdare Component type"


def test_info_types_are_a_sorted_set(NP):
    i = NP.Info(NP.Ident(1, 1, 0), [NP.CNP2, NP.CNP1, NP.CNP2])
    assert i.types == [NP.CNP1, NP.CNP2] and i.has_lut is False
    assert NP.Info(NP.Ident(1, 1, 0), (t for t in [NP.FNP3, NP.CNP1])).types == [NP.CNP1, NP.FNP3]
    assert NP.Info(NP.Ident(1, 1, 0), {NP.TNP_R}).types == [NP.TNP_R]
    assert NP.Info(NP.Ident(1, 1, 0), []).types == []
    i.types = (NP.FNP2,)
    assert i.types == [NP.FNP2]
    listed = i.types
    listed.append(NP.HRC)
    assert i.types == [NP.FNP2]


def test_info_bad_types_keep_the_old_value(NP):
    i = NP.Info(NP.Ident(1, 1, 0), [NP.CNP1])
    for bad in ([NP.CNP2, 3], [None], (NP.CNP1, "CNP2")):
        with pytest.raises(RuntimeError):
            i.types = bad
    with pytest.raises(TypeError):
        i.types = 5
    assert i.types == [NP.CNP1]
    with pytest.raises(RuntimeError):
        NP.Info(NP.Ident(1, 1, 0), ["CNP1"])
    with pytest.raises(TypeError):
        NP.Info(NP.Ident(1, 1, 0), None)


def test_info_ident_and_equality(NP):
    i = NP.Info(ident=NP.Ident(1, 2, 0), types=[NP.CNP1], has_lut=True)
    i.ident.row = 5
    assert i.ident == NP.Ident(1, 5, 0)
    other = NP.Ident(3, 3, 3)
    i.ident = other
    other.col = 0
    assert i.ident == NP.Ident(3, 3, 3)
    assert NP.Info.hrc(True) == NP.Info(NP.Ident(0, 0, 0, 0), [NP.HRC], True)
    assert NP.Info.hrc(False) != NP.Info.hrc(True)
    assert NP.Info.hrc(True) != NP.Info(NP.Ident(0, 0, 0, 1), [NP.HRC], True)
    assert NP.Info.hrc(True) != NP.Info(NP.Ident(0, 0, 0), [NP.HRC, NP.CNP1], True)
    assert (NP.Info.hrc(True) == 1) is False
    with pytest.raises(TypeError):
        NP.Info.hrc()
    with pytest.raises(TypeError):
        hash(NP.Info.hrc(True))


def test_np_space_and_memory_info_defaults(NP):
    space = NP.NpSpace()
    assert (space.x, space.y, space.shape) == (0, 0, [])
    with pytest.raises(AttributeError):
        space.x = 1
    assert space != NP.NpSpace()  # no equality of its own: identity
    a, b = NP.MemoryInfo(), NP.MemoryInfo()
    assert a == b
    assert [a.input_size, a.weight_size, a.external_size, a.stsram_32b_size, a.fsram_64b_size,
            a.tsram_51b_size, a.evsram_32b_size] == [0] * 7
    with pytest.raises(AttributeError):
        a.input_size = 1
    with pytest.raises(TypeError):
        hash(a)


def test_component_has_no_constructor(NP):
    with pytest.raises(TypeError):
        NP.Component()


def test_component_views():
    testing = pytest.importorskip("qalto_testing")
    import qalto.core as core
    NP = core.NP
    plain = testing.make_component(NP.SKIP_DMA_LOAD, NP.Ident(1, 2, 3, 1))
    assert (plain.filters, plain.start_neuron, plain.single_buffer) == (0, 0, True)
    assert plain.spatial_partition.shape == []
    assert plain.type == NP.SKIP_DMA_LOAD and plain.ident == NP.Ident(1, 2, 3, 1)
    np_part = testing.make_component(NP.CNP2, NP.Ident(1, 1, 0), start_neuron=8, filters=16,
                                     x=2, y=3, shape=[4, 5, 6], single_buffer=False,
                                     mem_sizes=[1, 2, 3, 4, 5, 6, 7])
    assert (np_part.filters, np_part.start_neuron, np_part.single_buffer) == (16, 8, False)
    space = np_part.spatial_partition
    assert (space.x, space.y, space.shape) == (2, 3, [4, 5, 6])
    mem = np_part.mem_info
    assert [mem.input_size, mem.weight_size, mem.external_size, mem.stsram_32b_size,
            mem.fsram_64b_size, mem.tsram_51b_size, mem.evsram_32b_size] == [1, 2, 3, 4, 5, 6, 7]
    assert np_part != plain
    same = testing.make_component(NP.CNP2, NP.Ident(1, 1, 0), start_neuron=8, filters=16,
                                  x=2, y=3, shape=[4, 5, 6], single_buffer=False,
                                  mem_sizes=[1, 2, 3, 4, 5, 6, 7])
    assert same == np_part
    other = testing.make_component(NP.CNP2, NP.Ident(1, 1, 0), start_neuron=8, filters=16,
                                   x=2, y=3, shape=[4, 5, 7], single_buffer=False,
                                   mem_sizes=[1, 2, 3, 4, 5, 6, 7])
    assert other != np_part
    without_part = testing.make_component(NP.CNP2, NP.Ident(1, 1, 0),
                                          mem_sizes=[1, 2, 3, 4, 5, 6, 7])
    assert without_part != np_part
    with pytest.raises(AttributeError):
        np_part.filters = 3
    ident = np_part.ident
    del np_part
    gc.collect()
    assert ident == NP.Ident(1, 1, 0)  # keeps its component alive
    assert NP.Component.__doc__ == "\n      An Qalto component"
