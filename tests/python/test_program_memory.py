"""ProgramMemoryRequired and get_program_memory_infos over programs of mapped sequences."""
import re
import struct

import pytest

FIELDS = ["input_memory", "input_descriptor_memory", "output_memory", "program_memory",
          "extra_program_memory", "program_descriptors_memory"]


def layer(core, kind, name, **params):
    return core.Layer(core.LayerParams(kind, params), name)


def v2_device(core):
    nps = [core.NP.Info(core.NP.Ident(col, row, np_id), [core.NP.CNP1, core.NP.CNP2], True)
           for col in (1, 2) for row in (1, 2) for np_id in range(4)]
    skip = [core.NP.Info(core.NP.Ident(3, 2, 0, 4), [core.NP.SKIP_DMA_STORE,
                                                     core.NP.SKIP_DMA_LOAD])]
    mesh = core.NP.Mesh(core.IpVersion.v2, core.NP.Ident(3, 1, 0), core.NP.Ident(3, 1, 1),
                        None, nps, skip)
    return core.Device(core.HwVersion.FPGA_v2, mesh)


@pytest.fixture
def sequence(core):
    model = core.Model()
    model.add(layer(core, core.InputData, "input", input_width=8, input_height=8,
                    input_channels=4))
    model.add(layer(core, core.Conv2D, "conv1", filters=16))
    model.add(layer(core, core.Conv2D, "conv2", filters=8))
    model._map(v2_device(core))
    (mapped,) = model.sequences
    return mapped


def test_figures_of_a_mapped_program(core, sequence):
    infos = core.get_program_memory_infos(sequence.program)
    assert type(infos) is core.ProgramMemoryRequired
    values = [getattr(infos, name) for name in FIELDS]
    assert all(type(v) is int and v >= 0 for v in values)
    assert infos.input_memory == 8 * 8 * 4             # one byte per input value
    assert infos.input_descriptor_memory == 16
    assert infos.program_memory == len(sequence.program_parts.program_data)
    assert infos.program_descriptors_memory % 16 == 0 and infos.program_descriptors_memory > 0
    text = "".join(f"{name}={value}B, " for name, value in zip(FIELDS, values))
    assert repr(infos) == f"<qalto.ProgramMemoryRequired({text[:-2]})>"
    assert re.fullmatch(r"<qalto\.ProgramMemoryRequired\((\w+=\d+B, ){5}\w+=\d+B\)>", repr(infos))


def test_only_bytes_are_accepted(core, sequence):
    program = sequence.program

    class Program(bytes):
        pass

    assert repr(core.get_program_memory_infos(Program(program))) == \
        repr(core.get_program_memory_infos(program))
    for other in (bytearray(program), memoryview(program), list(program), None):
        with pytest.raises(TypeError):
            core.get_program_memory_infos(other)
    with pytest.raises(TypeError):
        core.get_program_memory_infos(program=program)


def test_bytes_that_are_not_a_program_are_refused(core, sequence):
    program = sequence.program
    for bad in (b"", b"\x00\x00\x00", program[:-1], program + b"\x00", program[:len(program) // 2],
                struct.pack("<I", 0xFFFFFF) + program[4:]):
        with pytest.raises(ValueError, match="^Invalid program: "):
            core.get_program_memory_infos(bad)
    # Swapping the two parts breaks both buffers.
    info_size = struct.unpack_from("<I", program)[0] + 4
    with pytest.raises(ValueError):
        core.get_program_memory_infos(program[info_size:] + program[:info_size])


def test_class_surface(core, sequence):
    cls = core.ProgramMemoryRequired
    with pytest.raises(TypeError):
        cls()
    assert cls.__doc__ is None
    assert cls.extra_program_memory.__doc__ is None
    assert cls.input_memory.__doc__ == "memory required (in bytes) for one input"
    assert cls.input_descriptor_memory.__doc__ == \
        "memory required (in bytes) for one input descriptor"
    assert cls.output_memory.__doc__ == "memory required (in bytes) for one output"
    assert cls.program_memory.__doc__ == "memory required (in bytes) for program"
    assert cls.program_descriptors_memory.__doc__ == \
        "memory required (in bytes) for program descriptors"
    infos = core.get_program_memory_infos(sequence.program)
    with pytest.raises(AttributeError):
        infos.input_memory = 1
    assert core.get_program_memory_infos.__doc__.rstrip().endswith(
        "Get the memory requirements for the given program")
    assert "arg0: bytes" in core.get_program_memory_infos.__doc__


def test_damaged_programs_fail_cleanly(core, sequence):
    program = sequence.program
    for size in range(0, len(program), 7):
        with pytest.raises(ValueError):
            core.get_program_memory_infos(program[:size])
    refused = 0
    for i in range(0, len(program), 3):
        damaged = program[:i] + bytes([program[i] ^ 0xFF]) + program[i + 1:]
        try:
            infos = core.get_program_memory_infos(damaged)
        except ValueError:
            refused += 1
        else:
            assert infos.program_memory <= len(damaged)
    assert refused > 0
