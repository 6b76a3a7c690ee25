import os
import struct

import numpy as np
import pytest

from conftest import run_isolated


def model(core):
    m = core.Model()
    m.add(core.Layer(core.LayerParams(core.LayerType.InputData,
                                      {"input_width": 4, "input_height": 4,
                                       "input_channels": 2}), "input"))
    m.add(core.Layer(core.LayerParams(core.LayerType.Conv2D, {"filters": 3}), "conv"))
    b = np.array([1, -2, 3], np.int8)
    m.get_layer("conv").variables["bias"] = b
    return m


def test_save_load_round_trip(core, tmp_path):
    m = model(core)
    path = str(tmp_path / "m.fbz")
    m.save(path)
    loaded = core.Model(path)
    assert loaded.to_buffer() == m.to_buffer()
    assert list(loaded.get_layer("conv").variables["bias"]) == [1, -2, 3]
    # Trailing zero bytes are ignored; a bytes path works too.
    with open(path, "ab") as f:
        f.write(b"\0" * 32)
    assert core.Model(path.encode()).to_buffer() == m.to_buffer()


def test_empty_model_buffer_matches_file_header(core, tmp_path):
    m = core.Model()
    path = str(tmp_path / "e.fbz")
    m.save(path)
    data = open(path, "rb").read()
    assert data[0] == len(m.to_buffer())  # one-byte varint for a short buffer


def test_bad_files(core, tmp_path):
    with pytest.raises(RuntimeError, match="File not found."):
        core.Model(str(tmp_path / "missing"))
    with pytest.raises(RuntimeError, match="File not found."):
        core.Model("")
    empty = tmp_path / "empty"
    empty.write_bytes(b"")
    with pytest.raises(RuntimeError, match="File is empty."):
        core.Model(str(empty))
    junk = tmp_path / "junk"
    junk.write_bytes(b"\xff" * 10)
    with pytest.raises(ValueError, match="Cannot uncompress corrupted serialization buffer"):
        core.Model(str(junk))
    good = tmp_path / "good.fbz"
    model(core).save(str(good))
    data = good.read_bytes()
    for n in (1, len(data) // 2, len(data) - 1):
        (tmp_path / "cut").write_bytes(data[:n])
        with pytest.raises(ValueError, match="Cannot uncompress corrupted serialization buffer"):
            core.Model(str(tmp_path / "cut"))
    # A valid block whose content is not a model.
    (tmp_path / "notmodel").write_bytes(bytes([5, 16]) + b"hello")
    with pytest.raises(ValueError, match="Invalid model buffer"):
        core.Model(str(tmp_path / "notmodel"))


def test_failed_save_keeps_old_file(core, tmp_path):
    m = model(core)
    target = tmp_path / "missing_dir" / "m.fbz"
    with pytest.raises(ValueError, match="Unable to open file for saving model: " + str(target)):
        m.save(str(target))
    # A directory, empty or not, cannot be opened for writing.
    busy = tmp_path / "busy"
    (busy / "x").mkdir(parents=True)
    (tmp_path / "hollow").mkdir()
    for directory in (busy, tmp_path / "hollow"):
        with pytest.raises(ValueError) as error:
            m.save(str(directory))
        assert str(error.value) == "Unable to open file for saving model: " + str(directory)
    assert sorted(os.listdir(tmp_path)) == ["busy", "hollow"]
    # A good file stays whole when a later save is refused.
    good = tmp_path / "good.fbz"
    m.save(str(good))
    before = good.read_bytes()
    with pytest.raises(ValueError):
        m.save(str(good) + "\0")
    assert good.read_bytes() == before


def test_paths_with_a_nul_byte_name_no_file(core, tmp_path):
    path = tmp_path / "m.fbz"
    model(core).save(str(path))
    # Cut at the NUL byte, the path would name the saved file.
    with pytest.raises(RuntimeError, match="^File not found.$"):
        core.Model(str(path) + "\0.bak")
    with pytest.raises(ValueError, match="^Unable to open file for saving model: "):
        core.Model().save(str(path) + "\0.bak")
    assert core.Model(str(path)).layer_count == 2


def test_save_through_a_link_updates_the_linked_file(core, tmp_path):
    real = tmp_path / "real.fbz"
    core.Model().save(str(real))
    os.chmod(real, 0o600)
    link = tmp_path / "link.fbz"
    link.symlink_to(real)
    m = model(core)
    m.save(str(link))
    assert link.is_symlink()
    assert core.Model(str(real)).to_buffer() == m.to_buffer()
    assert os.stat(real).st_mode & 0o777 == 0o600
    # A dangling link (relative, like most): its target is created, the link stays.
    dangling = tmp_path / "dangling.fbz"
    dangling.symlink_to("made.fbz")
    m.save(str(dangling))
    assert dangling.is_symlink() and not (tmp_path / "made.fbz").is_symlink()
    assert core.Model(str(tmp_path / "made.fbz")).to_buffer() == m.to_buffer()


def test_in_place_save_that_runs_out_of_room_keeps_the_old_file(core, tmp_path):
    path = tmp_path / "m.fbz"
    model(core).save(str(path))
    os.link(path, tmp_path / "twin.fbz")  # a second link: the save must write in place
    old = path.read_bytes()
    limit = len(old) + 8
    # Random weights do not compress: the new file cannot fit under the limit.
    result = run_isolated(f"""
import resource, signal
import numpy as np
import qalto.core as core
m = core.Model({str(path)!r})
rng = np.random.default_rng(1)
m.get_layer("conv").variables["weights"] = rng.integers(-128, 128, (3, 3, 2, 3), np.int8)
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, ({limit}, {limit}))
try:
    m.save({str(path)!r})
except RuntimeError as e:
    print(e)
""")
    assert result.stdout.strip() == f"Unable to write model file: {path}", result.stderr
    assert path.read_bytes() == old
    assert core.Model(str(path)).to_buffer() == model(core).to_buffer()


def snappy_literals(data):
    """A raw snappy block of literals only: the stated length, then runs of 60 bytes at most."""
    out, n = bytearray(), len(data)
    while True:
        out.append((n & 0x7F) | (0x80 if n > 0x7F else 0))
        n >>= 7
        if not n:
            break
    for i in range(0, len(data), 60):
        chunk = data[i:i + 60]
        out.append((len(chunk) - 1) << 2)
        out += chunk
    return bytes(out)


def test_content_that_could_not_be_used_is_refused_at_load(core, tmp_path):
    good = model(core)
    path = tmp_path / "m.fbz"
    path.write_bytes(snappy_literals(good.to_buffer()))
    assert core.Model(str(path)).to_buffer() == good.to_buffer()
    # A name Python cannot read back as str.
    path.write_bytes(snappy_literals(good.to_buffer().replace(b"conv", b"co\xffv")))
    with pytest.raises(ValueError, match="^Invalid model buffer: the name of layer 1 is not UTF-8"):
        core.Model(str(path))
    # A learning set that fit would index the weights with.
    learner = core.Model()
    learner.add(core.Layer(core.LayerParams(core.LayerType.InputData, {
        "input_width": 1, "input_height": 1, "input_channels": 4}), "input"))
    learner.add(core.Layer(core.LayerParams(core.LayerType.FullyConnected, {"units": 6}), "fc"))
    learner.compile(core.QaltoUnsupervised(4, num_classes=3))
    three, huge = struct.pack("<d", 3.0), struct.pack("<d", 1e30)
    assert learner.to_buffer().count(three) == 1
    path.write_bytes(snappy_literals(learner.to_buffer().replace(three, huge)))
    with pytest.raises(ValueError, match="^Invalid model buffer: learning set of layer fc: "
                                         "num_classes must be"):
        core.Model(str(path))
