import copy

import pytest

NAMES = ["initial_plasticity", "learning_competition", "min_plasticity", "num_classes",
         "num_weights", "plasticity_decay"]


def test_unsupervised_defaults(core):
    optimizer = core.QaltoUnsupervised(16)
    assert isinstance(optimizer, core.Optimizer)
    assert dir(optimizer) == NAMES
    values = {name: optimizer.get(name) for name in NAMES}
    assert values == {"num_weights": 16.0, "num_classes": 1.0, "initial_plasticity": 1.0,
                      "learning_competition": 0.0, "min_plasticity": 0.10000000149011612,
                      "plasticity_decay": 0.25}
    assert all(type(v) is float for v in values.values())
    assert optimizer.get("min_plasticity") != 0.1
    assert optimizer.learning_competition == 0.0


def test_unsupervised_arguments_by_keyword(core):
    optimizer = core.QaltoUnsupervised(num_weights=4294967295, num_classes=10,
                                       initial_plasticity=0.5, learning_competition=0.25,
                                       min_plasticity=0.0, plasticity_decay=-1.0)
    assert optimizer.num_weights == 4294967295.0
    assert optimizer.num_classes == 10.0
    assert optimizer.get("initial_plasticity") == 0.5
    assert optimizer.plasticity_decay == -1.0  # values are not checked here


@pytest.mark.parametrize("args", [(-1,), (2**32,), ("16",), (16, -2), (16, 1, "x")])
def test_unsupervised_refuses_unconvertible_arguments(core, args):
    with pytest.raises(TypeError):
        core.QaltoUnsupervised(*args)


def test_learning_type_is_a_plain_integer(core):
    learning_type = core.QaltoUnsupervised(8).learning_type
    assert type(learning_type) is int and learning_type == 0


def test_missing_key_raises_value_error(core):
    optimizer = core.QaltoUnsupervised(8)
    with pytest.raises(ValueError, match="^Key nope not found$"):
        optimizer.get("nope")
    with pytest.raises(ValueError):
        optimizer.nope


def test_copy_is_distinct_with_same_values(core):
    optimizer = core.QaltoUnsupervised(8, num_classes=3)
    clone = copy.copy(optimizer)
    assert clone is not optimizer
    assert dir(clone) == dir(optimizer)
    assert clone.num_classes == 3.0 and clone.learning_type == 0


def test_docstrings_and_no_constructor(core):
    assert core.Optimizer.__doc__ == "Optimizer generic parameters"
    assert core.Optimizer.get.__doc__ == (
        "\n        Retrieve a value from the LearningParams object.\n\n        Args:\n"
        "            key (str): key of the value.\n        Returns:\n"
        "            int: value associated to the key.\n        Raises:\n"
        "            ValueError: if the value is not present in the LearningParams object.\n    ")
    doc = core.QaltoUnsupervised.__doc__
    assert doc.startswith("\n   Prepare the Qalto Unsupervised optimizer for learning of the last "
                          "layer.\n\n   Args:\n       num_weights (int): number of connections")
    assert doc.endswith("       optimizer(:obj:`qalto.LearningParams`): the optimizer used for\n"
                        "           learning\n   ")
    with pytest.raises(TypeError):
        core.Optimizer()
