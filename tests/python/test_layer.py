"""Layer and Layer.Mapping: properties, lifetimes and the mapping lists."""
import gc
import weakref

import pytest

import qalto_testing as qt


def input_layer(core, name="input", width=32, height=32, channels=3):
    return core.Layer(core.LayerParams(core.InputData, {
        "input_width": width, "input_height": height, "input_channels": channels}), name)


def conv(core, name, filters=8, kernel=3):
    return core.Layer(core.LayerParams(core.Conv2D, {"filters": filters, "kernel_size": kernel}),
                      name)


@pytest.fixture
def chain(core):
    layers = [input_layer(core), conv(core, "conv")]
    qt.build_graph(layers)
    return layers


def test_docstrings(core):
    assert core.Layer.__doc__ is None
    assert core.Layer.Mapping.__doc__ == "The mapping of a Layer on one or more Neural Processors."
    docs = {"name": "The layer name.", "macs": "The number of multiply-accumulate operations.",
            "input_dims": "The layer input dimensions.",
            "output_dims": "The layer output dimensions.",
            "variables": "The layer trainable variables.",
            "parameters": "The layer parameters set.", "input_bits": "The layer input bits.",
            "output_signed": "Whether output is signed or not.",
            "inbounds": "The layer inbound layers.", "mapping": "The layer hardware mapping.",
            "splittable": "The layer is splittable."}
    for name, doc in docs.items():
        assert getattr(core.Layer, name).__doc__ == doc, name
    assert core.Layer.is_target_component.__doc__ == (
        "Checks whether the layer can be mapped on the specified hardware component type. ")
    for name in ("nps", "skipdma_loads", "skipdma_stores"):
        assert getattr(core.Layer.Mapping, name).__doc__ == "a list of ``NP.Component`` objects."


def test_properties_of_built_layers(core, chain):
    source, layer = chain
    assert layer.name == "conv"
    assert source.input_dims == [32, 32, 3]
    assert layer.input_dims == [32, 32, 3]
    assert layer.output_dims == [32, 32, 8]
    assert layer.macs == 32 * 32 * 8 * 3 * 3 * 3
    assert isinstance(layer.input_bits, int)
    assert isinstance(layer.output_signed, bool)
    assert isinstance(layer.splittable, bool)
    assert [inbound.name for inbound in layer.inbounds] == ["input"]
    assert layer.inbounds[0].parameters.get("input_width") == 32
    assert source.inbounds == []
    assert layer.mapping is None
    assert "weights" in layer.variables.names
    for prop in ("name", "macs", "input_dims", "mapping", "variables", "parameters"):
        with pytest.raises(AttributeError):
            setattr(layer, prop, None)


def test_merge_layer_has_one_list_per_input(core):
    layers = [input_layer(core, width=8, height=8, channels=4), conv(core, "a", filters=4),
              conv(core, "b", filters=4), core.Layer(core.LayerParams(core.Add, {}), "add")]
    qt.build_graph(layers, [[], [0], [0], [1, 2]])
    assert layers[3].input_dims == [[8, 8, 4], [8, 8, 4]]
    assert [layer.name for layer in layers[3].inbounds] == ["a", "b"]


def test_unbuilt_layer_reports_the_engine_error(core):
    layer = conv(core, "alone")
    with pytest.raises(RuntimeError, match="Cannot get input size before it is set."):
        layer.input_dims


def test_constructor_refuses_bad_arguments(core):
    with pytest.raises(TypeError):
        core.Layer({"filters": 3}, "x")
    with pytest.raises(TypeError):
        core.Layer(core.LayerParams(core.Conv2D, {"filters": 3}), 5)
    with pytest.raises(ValueError):
        core.Layer(None, "x")
    # A type outside the enum, or a name Python could not read back, would be saved into a
    # file that does not load.
    with pytest.raises(ValueError, match="^Cannot create a layer of unknown type 8.$"):
        core.Layer(core.LayerParams(core.LayerType(8), {}), "odd")
    with pytest.raises(ValueError, match="UTF-8"):
        core.Layer(core.LayerParams(core.Conv2D, {"filters": 3}), b"c\xff")
    assert core.Layer(core.LayerParams(core.Conv2D, {"filters": 3}), b"caf\xc3\xa9").name == "café"


def test_is_target_component_uses_component_kinds(core):
    cnp = conv(core, "c")
    t = core.NP.Type
    assert cnp.is_target_component(t.CNP1) and cnp.is_target_component(t.CNP2)
    assert not cnp.is_target_component(t.FNP3)
    add = core.Layer(core.LayerParams(core.Add, {}), "add")
    assert add.is_target_component(t.SKIP_DMA_LOAD) and add.is_target_component(t.SKIP_DMA_STORE)
    assert not add.is_target_component(t.CNP2)
    quantizer = core.Layer(core.LayerParams(core.Quantizer, {
        "input_width": 4, "input_height": 4, "input_channels": 1}), "q")
    assert quantizer.is_target_component(t(0))  # kind 0: no hardware component
    assert quantizer.is_target_component(t(11))  # outside the table: kind 0 too
    assert not any(quantizer.is_target_component(member) for member in t.__members__.values())
    with pytest.raises(TypeError):
        cnp.is_target_component(2)


def test_variables_and_parameters_keep_their_layer_alive(core, chain):
    layer = chain.pop()
    layer_ref = weakref.ref(layer)
    variables = layer.variables
    parameters = layer.parameters
    del layer
    gc.collect()
    assert layer_ref() is not None
    assert "weights" in variables.names
    assert variables["weights"].shape == (3, 3, 3, 8)
    assert parameters.get("filters") == 8
    del variables
    gc.collect()
    assert layer_ref() is not None  # the parameters still hold it
    del parameters
    gc.collect()
    assert layer_ref() is None


def test_parameters_are_the_layers_own(core):
    layer = conv(core, "c", filters=5)
    assert layer.parameters.get("filters") == 5
    assert layer.parameters.layer_type == core.Conv2D
    # defaults filled in by the engine appear in the layer's parameters
    assert layer.parameters.has("kernel_size")


def test_inbounds_share_the_engine_layer(core, chain):
    source, layer = chain
    inbound = layer.inbounds[0]
    inbound_vars_before = inbound.variables.names
    assert inbound.name == source.name
    assert inbound_vars_before == source.variables.names


def test_mapping_of_a_hardware_record(core, chain):
    layer = chain[1]
    qt.attach_layer_mapping(layer, nps=2)
    mapping = layer.mapping
    assert type(mapping) is core.Layer.Mapping
    assert [c.type for c in mapping.nps] == [core.NP.Type.CNP2] * 2
    assert mapping.skipdma_loads == [] and mapping.skipdma_stores == []

    qt.attach_layer_mapping(layer, nps=2, stores=1, loads=1)
    mapping = layer.mapping
    assert len(mapping.nps) == 2
    assert [c.type for c in mapping.skipdma_stores] == [core.NP.Type.SKIP_DMA_STORE]
    assert [c.type for c in mapping.skipdma_loads] == [core.NP.Type.SKIP_DMA_LOAD]


def test_mapping_stores_plain_first_then_dual_output(core, chain):
    layer = chain[1]
    qt.attach_layer_mapping(layer, nps=1, stores=1, dual_output=True)
    stores = layer.mapping.skipdma_stores
    assert len(stores) == 1 and stores[0].type == core.NP.Type.SKIP_DMA_STORE
    qt.attach_layer_mapping(layer, nps=1, stores=2, dual_output=True)
    stores = layer.mapping.skipdma_stores
    assert len(stores) == 2
    assert stores[0].ident != stores[1].ident
    assert stores[0].ident.col < stores[1].ident.col  # the plain store first


def test_mapping_lists_are_fresh_copies(core, chain):
    layer = chain[1]
    qt.attach_layer_mapping(layer, nps=2)
    mapping = layer.mapping
    first = mapping.nps
    first.clear()
    assert len(mapping.nps) == 2
    assert mapping.nps is not mapping.nps


def test_mapping_of_another_record_kind_gives_empty_skip_lists(core, chain):
    layer = chain[1]
    qt.attach_plain_mapping(layer, 3)
    mapping = layer.mapping
    assert [c.type for c in mapping.nps] == [core.NP.Type.CNP1] * 3
    assert mapping.skipdma_loads == []
    assert mapping.skipdma_stores == []
    qt.attach_plain_mapping(layer, -1)  # no component list at all
    assert layer.mapping.nps == []


def test_mapping_outlives_the_layer(core, chain):
    layer = chain.pop()
    qt.attach_layer_mapping(layer, nps=2, stores=1)
    mapping = layer.mapping
    del layer
    gc.collect()
    assert len(mapping.nps) == 2 and len(mapping.skipdma_stores) == 1


def test_mapping_has_no_constructor(core):
    with pytest.raises(TypeError):
        core.Layer.Mapping()
