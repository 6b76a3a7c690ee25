"""Sequence, Pass and ProgramParts over a fake sequence behind the engine's sequence interface."""
import gc
import struct

import pytest

import qalto_testing as qt


def size_prefixed(payload: bytes) -> bytes:
    return struct.pack("<I", len(payload)) + payload


PROGRAM = size_prefixed(b"info-part") + size_prefixed(b"the program data")


def make_layers(core, count):
    layers = [core.Layer(core.LayerParams(core.InputData, {
        "input_width": 4, "input_height": 4, "input_channels": 1}), "l0")]
    for i in range(1, count):
        layers.append(core.Layer(core.LayerParams(core.Conv2D, {"filters": 2}), f"l{i}"))
    qt.build_graph(layers)
    return layers


def test_program_and_its_parts(core):
    sequence = qt.make_sequence(PROGRAM, [], "HW/a-b")
    program = sequence.program
    assert program == PROGRAM
    parts = sequence.program_parts
    assert type(parts) is core.ProgramParts
    assert parts.program_info + parts.program_data == program
    assert parts.program_info == size_prefixed(b"info-part")
    assert struct.unpack_from("<I", parts.program_info)[0] == len(parts.program_info) - 4
    assert sequence.name == "HW/a-b"
    assert sequence.backend == core.BackendType.Hardware


def test_each_read_is_a_new_copy(core):
    sequence = qt.make_sequence(PROGRAM, [])
    first, second = sequence.program, sequence.program
    assert first == second and first is not second
    parts = sequence.program_parts
    assert parts.program_data == parts.program_data
    assert parts.program_data is not parts.program_data
    assert sequence.program_parts is not sequence.program_parts


def test_null_program_gives_none(core):
    sequence = qt.make_sequence(None, [], backend=core.BackendType.Software)
    assert sequence.program is None
    parts = sequence.program_parts
    assert parts.program_info is None and parts.program_data is None
    assert sequence.backend == core.Software


def test_null_data_view_and_empty_views(core):
    sequence = qt.make_sequence(PROGRAM, [], layout=(0, 13, -1, 0))
    parts = sequence.program_parts
    assert parts.program_info == PROGRAM[:13]
    assert parts.program_data is None
    empty = qt.make_sequence(PROGRAM, [], layout=(len(PROGRAM), 0, 5, 0)).program_parts
    assert empty.program_info == b"" and empty.program_data == b""
    assert qt.make_sequence(b"", [], layout=(-1, 0, -1, 0)).program == b""


@pytest.mark.parametrize("program", [
    struct.pack("<I", 100) + b"short",          # length prefix beyond the bytes
    struct.pack("<I", 0xFFFFFFFF),               # largest prefix, nothing after it
    b"\x01\x00",                                 # not even a whole prefix
])
def test_program_shorter_than_its_prefix_is_refused(core, program):
    sequence = qt.make_sequence(program, [])
    assert sequence.program == program  # the whole program is still readable
    with pytest.raises(RuntimeError, match="^Program is shorter than its size prefix.$"):
        sequence.program_parts


def test_prefix_equal_to_the_rest_gives_empty_data(core):
    program = size_prefixed(b"abc")
    parts = qt.make_sequence(program, []).program_parts
    assert parts.program_info == program and parts.program_data == b""


@pytest.mark.parametrize("layout", [(0, len(PROGRAM) + 1, -1, 0), (4, 10, 20, 100),
                                    (len(PROGRAM) + 1, 0, -1, 0)])
def test_parts_outside_the_program_are_never_read(core, layout):
    sequence = qt.make_sequence(PROGRAM, [], layout=layout)
    with pytest.raises(RuntimeError, match="^Program parts lie outside the program of the "
                                           "sequence.$"):
        sequence.program_parts


def test_program_parts_own_their_bytes(core):
    sequence = qt.make_sequence(PROGRAM, [])
    parts = sequence.program_parts
    del sequence
    gc.collect()
    noise = [qt.make_sequence(b"\xee" * len(PROGRAM), [], layout=(0, 1, 1, 1)) for _ in range(50)]
    assert parts.program_info + parts.program_data == PROGRAM
    del noise


def test_passes_and_layers_in_order(core):
    layers = make_layers(core, 3)
    sequence = qt.make_sequence(PROGRAM, [layers[:2], layers[2:]])
    passes = sequence.passes
    assert [type(p) for p in passes] == [core.Pass, core.Pass]
    assert [[layer.name for layer in p.layers] for p in passes] == [["l0", "l1"], ["l2"]]
    assert all(type(layer) is core.Layer for p in passes for layer in p.layers)
    assert sequence.passes is not passes  # a new list on each read


def test_sequence_keeps_its_passes_and_layers(core):
    sequence = qt.make_sequence(PROGRAM, [make_layers(core, 2)])
    gc.collect()
    the_pass = sequence.passes[0]
    del sequence
    gc.collect()
    assert [layer.output_dims for layer in the_pass.layers] == [[4, 4, 1], [4, 4, 2]]


def test_name_that_is_not_utf8_raises_decode_error(core):
    sequence = qt.make_sequence(PROGRAM, [], name=b"HW/\xff")
    with pytest.raises(UnicodeDecodeError):
        sequence.name


def test_no_constructors_and_read_only(core):
    for cls in (core.Sequence, core.Pass, core.ProgramParts):
        with pytest.raises(TypeError):
            cls()
    sequence = qt.make_sequence(PROGRAM, [])
    with pytest.raises(AttributeError):
        sequence.program = b""


def test_docstrings(core):
    assert core.ProgramParts.__doc__ == (
        "\n      Represents a program split in different parts.\n\n      program_info is the "
        "program part containing information on how to program the\n      device.\n      "
        "program_data is the program part containing the program data required by qalto\n"
        "      to configure the IP.\n")
    assert core.Sequence.__doc__ == (
        "\n          Represents a sequence of layers.\n\n          Sequences can be mapped in "
        "Software or on a Device.\n          ")
    assert core.Pass.__doc__ == (
        "\n      Represents a subset of the Sequence.\n\n      Hardware Sequences can typically "
        "be split into multiple passes on devices\n      that support hardware partial "
        "reconfiguration feature, reducing the\n      intervention of the software during "
        "inference.\n      ")
    assert core.Sequence.passes.__doc__ == "Get the list of passes in this sequence."
    assert core.Sequence.backend.__doc__ == "The backend type for this Sequence."
    assert core.Sequence.program_parts.__doc__ == "Get the program, split in different parts"
    assert core.Sequence.name.__doc__ == "The name of the sequence"
    assert core.Sequence.program.__doc__ == (
        "\n             Get the hardware program for this sequence.\n\n             Returns None "
        "if the Sequence is not compatible with the selected\n             Device.\n\n"
        "             :return: a bytes buffer or None\n          ")
    assert core.Pass.layers.__doc__ == "Get the list of layers in this pass."
