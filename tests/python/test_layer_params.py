import copy

import pytest

INIT_DOC = ("\n        Create a generic LayerParams object.\n\n        Args:\n"
            "            layer_type (:obj:`LayerType`): Type of layer.\n"
            "            entries (dict): dictionary of key (string) and value (int) pairs.\n    ")
GET_DOC = ("\n        Retrieve a value from the LayerParams object.\n\n        Args:\n"
           "            key (str): key of the value.\n        Returns:\n"
           "            int: value associated to the key.\n        Raises:\n"
           "            ValueError: if the value is not present in the LayerParams object.\n    ")
HAS_DOC = ("\n        Check if a key is present in the LayerParams object.\n\n        Args:\n"
           "            key (str): key to be searched.\n        Returns:\n"
           "            bool: True if the key is present, otherwise false.\n    ")


def params(core, entries, layer_type=None):
    return core.LayerParams(layer_type or core.LayerType.Convolutional, entries)


def test_layer_type_members_in_order_and_exported(core):
    expected = [("Unknown", 0), ("InputData", 1), ("InputConvolutional", 2),
                ("FullyConnected", 3), ("Convolutional", 4), ("SeparableConvolutional", 5),
                ("Add", 6), ("Concatenate", 12), ("Conv2D", 14), ("InputConv2D", 15),
                ("DepthwiseConv2D", 16), ("Conv2DTranspose", 17), ("Dequantizer", 19),
                ("DepthwiseConv2DTranspose", 20), ("BufferTempConv", 21),
                ("DepthwiseBufferTempConv", 22), ("StatefulRecurrent", 26), ("Dense1D", 25),
                ("Quantizer", 27), ("MivoPostProcessing", 28)]
    members = core.LayerType.__members__
    assert [(name, int(member)) for name, member in members.items()] == expected
    for name, _ in expected:
        assert getattr(core, name) is members[name]
    assert core.LayerType.__doc__ == "The layer type"
    assert core.MivoPostProcessing is core.LayerType.MivoPostProcessing
    assert int(core.LayerType.Quantizer) == 27
    assert core.LayerType(14) == core.Conv2D
    assert core.Conv2D != 14


@pytest.mark.parametrize("enum, doc, members", [
    ("Padding",
     "Sets the effective padding of the input for convolution, thereby determining the output "
     "dimensions. Naming conventions are the same as Keras/Tensorflow.",
     [("Valid", 0, "No padding"),
      ("Same", 1, "Padded so that output size is input size divided by the stride. It always "
                  "produces a bottom right padding."),
      ("SameUpper", 2, "Padded so that output size is input size divided by the stride. It "
                       "always produces a top left padding.")]),
    ("PoolType", "The pooling type",
     [("NoPooling", 0, "No pooling applied"), ("Max", 1, "Maximum pixel value is selected"),
      ("Average", 2, "Average pixel value is selected")]),
    ("ActivationType", "The activation type",
     [("NoActivation", 0, "No activation is applied"), ("ReLU", 1, "ReLU activation is selected"),
      ("LUT", 2, "LUT activation is selected")]),
])
def test_small_enums(core, enum, doc, members):
    cls = getattr(core, enum)
    assert cls.__doc__ == doc
    entries = getattr(cls, "__entries")
    assert [(name, int(value), text) for name, (value, text) in entries.items()] == members
    for name, value, _ in members:
        assert getattr(core, name) is getattr(cls, name)
        assert int(getattr(core, name)) == value


def test_docstrings(core):
    assert core.LayerParams.__doc__ == "Parameters dictionary for layers"
    assert core.LayerParams.__init__.__doc__ == INIT_DOC
    assert core.LayerParams.get.__doc__ == GET_DOC
    assert core.LayerParams.has.__doc__ == HAS_DOC


def test_compound_names_give_their_pairs_in_order(core):
    p = params(core, {"kernel_width": 3, "kernel_height": 5, "stride_x": 1, "stride_y": 2,
                      "pooling_width": 4, "pooling_height": 6, "pooling_stride_x": 7,
                      "pooling_stride_y": 8})
    assert p.get("kernel_size") == [3, 5]
    assert type(p.kernel_size) is list and p.kernel_size == [3, 5]
    assert p.get("kernel_stride") == [1, 2]
    assert p.pool_size == [4, 6]
    assert p.pool_stride == [7, 8]
    assert p.get("kernel_width") == 3
    assert p.has("kernel_width") and not p.has("kernel_size")
    assert dir(p) == sorted(["kernel_width", "kernel_height", "stride_x", "stride_y",
                             "pooling_width", "pooling_height", "pooling_stride_x",
                             "pooling_stride_y"])


def test_stored_entry_wins_over_compound_name(core):
    p = params(core, {"pool_size": 2, "pooling_width": 9, "pooling_height": 9}, core.Conv2D)
    assert p.get("pool_size") == 2
    assert p.pool_size == 2
    assert "pool_size" in dir(p)


def test_compound_name_with_missing_member_is_an_error(core):
    p = params(core, {"kernel_width": 3})
    with pytest.raises(ValueError, match="kernel_height"):
        p.get("kernel_size")


def test_unknown_key_raises_value_error_everywhere(core):
    p = params(core, {"Filters": 4})
    for read in (lambda: p.get("filters"), lambda: p.filters, lambda: getattr(p, "x", None),
                 lambda: hasattr(p, "x")):
        with pytest.raises(ValueError) as info:
            read()
    assert str(info.value) == "Key x not found"
    assert p.get("Filters") == 4  # case matters
    with pytest.raises(ValueError, match="^Key filters not found$"):
        p.get("filters")


def test_negative_and_extreme_values_round_trip(core):
    p = params(core, {"a": -2**31, "b": 2**31 - 1, "c": -1})
    assert (p.a, p.b, p.get("c")) == (-2**31, 2**31 - 1, -1)


def test_own_members_are_not_entries(core):
    p = params(core, {"get": 1, "has": 2, "layer_type": 3})
    assert callable(p.get) and callable(p.has)
    assert p.layer_type == core.LayerType.Convolutional
    assert p.get("get") == 1 and p.get("has") == 2 and p.get("layer_type") == 3


def test_copy_is_independent_and_deepcopy_fails(core):
    p = params(core, {"kernel_width": 3, "kernel_height": 5}, core.SeparableConvolutional)
    q = copy.copy(p)
    assert q is not p
    assert dir(q) == dir(p) and q.kernel_size == [3, 5]
    assert q.layer_type == core.SeparableConvolutional
    with pytest.raises(ValueError):
        copy.deepcopy(p)


def test_constructor_accepts_mappings_and_refuses_bad_entries(core):
    import types
    assert params(core, types.MappingProxyType({"a": 1})).a == 1
    assert dir(core.LayerParams(core.Conv2D, {})) == []
    bad_entries = [{"a": 2**31}, {"a": -2**31 - 1}, {"a": 1.5}, {1: 2}, {"a": "1"}, [("a", 1)], 3]
    for entries in bad_entries:
        with pytest.raises(TypeError):
            core.LayerParams(core.Conv2D, entries)
    with pytest.raises(TypeError):
        core.LayerParams(14, {})
    with pytest.raises(TypeError):
        core.LayerParams(core.Padding.Same, {})
