import pytest


def make_layer(core, layer_type, name, **entries):
    return core.Layer(core.LayerParams(getattr(core.LayerType, layer_type), entries), name)


def chain_model(core):
    """in -> c1 -> c2 -> c3"""
    model = core.Model()
    model.add(make_layer(core, "InputData", "in", input_width=8, input_height=8,
                         input_channels=4))
    for name in ("c1", "c2", "c3"):
        model.add(make_layer(core, "Conv2D", name, filters=4))
    return model


def residual_model(core):
    """in -> c0 -> c1 -> c2 -> add(c2, c0) -> c3"""
    model = core.Model()
    model.add(make_layer(core, "InputData", "in", input_width=8, input_height=8,
                         input_channels=4))
    for name in ("c0", "c1", "c2"):
        model.add(make_layer(core, "Conv2D", name, filters=4))
    c0, c2 = model.get_layer("c0"), model.get_layer("c2")
    model.add(make_layer(core, "Add", "add"), [c2, c0])
    model.add(make_layer(core, "Conv2D", "c3", filters=4))
    return model


def names(layers):
    return [layer.name for layer in layers]


def test_submodule_docstring_and_registration_order(core):
    gu = core.graph_utils
    assert gu.__doc__ == ("Qalto graph utilities software internal functions. "
                          "These are meant for testing, debugging and validation only.")
    functions = [name for name in vars(gu) if not name.startswith("_")]
    assert functions == ["extract_main_branch", "extract_skip_branch", "get_mappable_layer",
                         "dual_output_to_store_dma", "first_mappable_layer",
                         "last_mappable_layer", "next_mappable_layer",
                         "previous_mappable_layer", "is_merge_layer"]


def test_chain(core):
    gu = core.graph_utils
    model = chain_model(core)
    layers = model.layers
    inp, c1, c2, c3 = (model.get_layer(n) for n in ("in", "c1", "c2", "c3"))
    assert names(gu.extract_main_branch(c1)) == ["c2", "c3"]
    assert gu.extract_skip_branch(c1) == []
    assert gu.get_mappable_layer(c2).name == "c2"
    assert gu.first_mappable_layer(layers).name == "c1"
    assert gu.last_mappable_layer(layers).name == "c3"
    assert gu.next_mappable_layer(c1).name == "c2"
    assert gu.next_mappable_layer(c3) is None
    assert gu.previous_mappable_layer(c2).name == "c1"
    assert gu.previous_mappable_layer(inp) is None
    assert gu.is_merge_layer(c2) is False
    assert gu.dual_output_to_store_dma(c2) is False
    assert gu.first_mappable_layer([]) is None
    assert gu.last_mappable_layer([]) is None
    assert gu.first_mappable_layer([inp]) is None
    # Tuples are sequences too.
    assert gu.first_mappable_layer((c3, c2)).name == "c2"


def test_residual(core):
    gu = core.graph_utils
    model = residual_model(core)
    c0, c2, add, c3 = (model.get_layer(n) for n in ("c0", "c2", "add", "c3"))
    assert names(gu.extract_main_branch(c0)) == ["c1", "c2", "add", "c3"]
    assert names(gu.extract_skip_branch(c0)) == ["add", "c3"]
    assert gu.get_mappable_layer(add).name == "c3"
    assert gu.is_merge_layer(c3) is True
    assert gu.is_merge_layer(add) is False  # not a CNP layer
    assert gu.previous_mappable_layer(c3).name == "c2"
    assert gu.next_mappable_layer(c2).name == "c3"
    assert gu.next_mappable_layer(c0).name == "c1"
    assert gu.dual_output_to_store_dma(c3) is False
    assert gu.last_mappable_layer(model.layers).name == "c3"
    # The same engine layers come back, whatever object wraps them.
    assert gu.get_mappable_layer(add).name == model.get_layer("c3").name


def test_none_and_wrong_arguments_raise_type_error(core):
    gu = core.graph_utils
    model = chain_model(core)
    c1 = model.get_layer("c1")
    for name in ("extract_main_branch", "extract_skip_branch", "get_mappable_layer",
                 "dual_output_to_store_dma", "next_mappable_layer",
                 "previous_mappable_layer", "is_merge_layer"):
        with pytest.raises(TypeError):
            getattr(gu, name)(None)
        with pytest.raises(TypeError):
            getattr(gu, name)("c1")
        with pytest.raises(TypeError):
            getattr(gu, name)(layer=c1)
        with pytest.raises(TypeError):
            getattr(gu, name)(c1, c1)
    for name in ("first_mappable_layer", "last_mappable_layer"):
        with pytest.raises(TypeError):
            getattr(gu, name)(None)
        with pytest.raises(TypeError):
            getattr(gu, name)([c1, None])
        with pytest.raises(TypeError):
            getattr(gu, name)(c1)
        with pytest.raises(TypeError):
            getattr(gu, name)([c1, 3])
