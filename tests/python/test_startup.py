import pickle
import pytest

from conftest import run_isolated


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


def test_version_is_the_engine_version(core):
    qt = pytest.importorskip("qalto_testing")
    assert core.__version__ == qt.engine_version()


# The names of the registration steps built so far. SocDriver, HardwareDevice,
# ProgramMemoryRequired, get_program_memory_infos, nn, boardQtx7700 and SpiFlashController join
# this list with their own steps.
REGISTERED = {
    "": ["BackendType", "Software", "Hardware", "Hybrid", "Model", "Layer", "LayerType",
         "Padding", "PoolType", "ActivationType", "LayerParams", "Optimizer",
         "QaltoUnsupervised", "Variables", "evaluate_bitwidth", "Metrics", "Device",
         "SocDriver", "HardwareDevice", "HwVersion", "NP", "MapConstraints", "ProgramParts",
         "Sequence", "Pass", "PowerEvent",
         "PowerMeter", "soc", "ProgramMemoryRequired", "get_program_memory_infos", "nn",
         "IpVersion", "none", "v1", "v2", "mivo", "boardQtx7700", "SpiFlashController",
         "graph_utils"],
    "boardQtx7700": ["get_flash"],
    "NP": ["SramSize", "Mesh", "Ident", "Type", "Info", "NpSpace", "MemoryInfo", "Component"],
    "soc": ["ClockMode", "Performance", "Economy", "LowPower"],
    "nn": ["lshift", "shift", "shift_out", "matmul", "add", "concatenate", "scale_out", "conv2d",
           "input_conv2d", "conv2d_transpose", "dequantize", "depthwise_conv2d",
           "relu_activation", "look_up", "global_average_pooling", "max_pooling", "fifo_op",
           "depth_conv_like_op", "stateful_main_op", "subsampling_op", "mivopostprocessing_op"],
    "graph_utils": ["extract_main_branch", "extract_skip_branch", "get_mappable_layer",
                    "dual_output_to_store_dma", "first_mappable_layer", "last_mappable_layer",
                    "next_mappable_layer", "previous_mappable_layer", "is_merge_layer"],
}


@pytest.mark.parametrize("where", sorted(REGISTERED))
def test_every_registered_name_is_listed(core, where):
    holder = core if not where else getattr(core, where)
    missing = [name for name in REGISTERED[where] if name not in dir(holder)]
    assert missing == []


def test_layer_mapping_is_nested_and_np_is_one_submodule(core):
    assert core.Layer.Mapping.__qualname__ == "Layer.Mapping"
    assert core.NP is getattr(core, "NP")
    assert core.graph_utils.__doc__ == (
        "Qalto graph utilities software internal functions. These are meant for testing, "
        "debugging and validation only.")


def test_python_error_in_the_body_becomes_import_error():
    # Execute the module body on a module object whose attribute writes fail.
    result = run_isolated(
        "import importlib.util, types\n"
        "found = importlib.util.find_spec('qalto.core')\n"
        "mod = importlib.util.module_from_spec(found)\n"
        "class Refusing(types.ModuleType):\n"
        "    def __setattr__(self, name, value):\n"
        "        if name == '__version__':\n"
        "            raise KeyError('refused')\n"
        "        super().__setattr__(name, value)\n"
        "mod.__class__ = Refusing\n"
        "try:\n"
        "    found.loader.exec_module(mod)\n"
        "except ImportError as e:\n"
        "    print(type(e).__name__, str(e), repr(e.__cause__))\n"
        "    print(mod.__doc__)\n")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "ImportError initialization failed KeyError('refused')",
        "Qalto core library",  # what the body did before the failure stays
    ]


def test_native_exception_in_the_body_becomes_import_error_with_its_text():
    # A second execution of the body fails natively: its types are registered already.
    result = run_isolated(
        "import sys, qalto.core\n"
        "first = sys.modules.pop('qalto.core')\n"
        "try:\n"
        "    import qalto.core\n"
        "except ImportError as e:\n"
        "    print(str(e), e.__cause__)\n")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        'generic_type: type "BackendType" is already registered! None')
