"""Model.evaluate: label checks, class grouping, ties, float outputs and refusals."""
import numpy as np
import pytest


def layer(core, kind, name, **params):
    return core.Layer(core.LayerParams(kind, params), name)


def identity_model(core, neurons, activation=True):
    """Inputs (n, 1, 1, neurons) come out unchanged: uint8 through forward with an activation,
    float32 through a dequantizer without one."""
    model = core.Model()
    model.add(layer(core, core.InputData, "input", input_width=1, input_height=1,
                    input_channels=neurons))
    dense = layer(core, core.Dense1D, "dense", units=neurons, activation=int(activation))
    model.add(dense)
    dense.variables["weights"] = np.eye(neurons, dtype=np.int8)
    if not activation:
        dequantizer = layer(core, core.Dequantizer, "dequantizer")
        model.add(dequantizer)
        dequantizer.variables["scales"] = np.ones(neurons, np.float32)
    return model


def samples(rows):
    return np.array(rows, np.uint8).reshape(len(rows), 1, 1, -1)


def test_default_classes_are_the_output_neurons(core):
    model = identity_model(core, 10)
    x = samples([np.eye(10, dtype=np.uint8)[k] * (k + 1) for k in range(10)])
    labels = np.arange(10, dtype=np.int32)
    accuracy = model.evaluate(x, labels)
    assert type(accuracy) is float and accuracy == 1.0
    labels[:3] = 9
    assert model.evaluate(x, labels) == pytest.approx(0.7)
    assert model.metrics["inference_frames"] == 10


def test_neurons_grouped_into_classes_and_ties(core):
    model = identity_model(core, 20)
    row = np.zeros(20, np.uint8)
    row[5] = 9          # neuron 5 -> class 2 with 10 classes (2 neurons per class)
    tie = np.zeros(20, np.uint8)
    tie[7] = tie[12] = 4  # classes 3 and 6 tie: the lower class wins
    x = samples([row, tie])
    assert model.evaluate(x, np.array([2, 3], np.int32), 10) == 1.0
    assert model.evaluate(x, np.array([2, 6], np.int32), 10) == 0.5
    # Strided labels are read through their strides.
    strided = np.array([[2, 0], [3, 0]], np.int32)[:, 0]
    assert model.evaluate(x, strided, 10) == 1.0


def test_all_zero_and_nan_outputs_predict_no_class(core):
    model = identity_model(core, 4)
    assert model.evaluate(samples([[0, 0, 0, 0]]), np.array([0], np.int32)) == 0.0
    floats = identity_model(core, 4, activation=False)
    x = samples([[1, 7, 3, 2], [9, 0, 0, 0]])
    assert floats.evaluate(x, np.array([1, 0], np.int32)) == 1.0
    floats.get_layer("dequantizer").variables["scales"] = np.full(4, np.nan, np.float32)
    assert floats.evaluate(x, np.array([0, 0], np.int32)) == 0.0


def test_label_checks_come_before_the_run(core):
    model = identity_model(core, 4)
    x = samples([[1, 0, 0, 0], [0, 1, 0, 0]])
    cases = [(np.array([0, 1], np.int64), "Labels must be int32."),
             (np.array([[0], [1]], np.int32), "Labels must be 1-D."),
             (np.array([0], np.int32), "Inputs and labels must have the same size.")]
    for labels, message in cases:
        with pytest.raises(ValueError) as error:
            model.evaluate(x, labels)
        assert str(error.value) == message
    assert model.metrics.names == []
    with pytest.raises(ValueError, match="^Cannot perform an inference on a model with no layers$"):
        core.Model().evaluate(x, np.array([0, 1], np.int32))


def test_class_checks_come_after_the_run(core):
    model = identity_model(core, 4)
    x = samples([[1, 0, 0, 0]])
    labels = np.array([0], np.int32)
    with pytest.raises(ValueError) as error:
        model.evaluate(x, labels, 1)
    assert str(error.value) == "Cannot classify with 1class(es)."
    assert model.metrics["inference_frames"] == 1
    with pytest.raises(ValueError) as error:
        model.evaluate(x, labels, 3)
    assert str(error.value) == ("The number of neurons [4] is not a multiple of  the number of "
                                "classes [3].")
    with pytest.raises(TypeError):
        model.evaluate(x, labels, -1)


def test_docstring(core):
    doc = core.Model.evaluate.__doc__
    assert "Returns the model class accuracy." in doc
    assert "the neurons are automatically assigned to a class by dividing their id" in doc
    assert "a (n, x, y, c) uint8, int8 or int16 tensor" in doc
    assert "a (n) tensor of labels for the inputs" in doc
