"""The Metrics class: a live, read-only view of an owner's named 64-bit integers."""
import pytest

qt = pytest.importorskip("qalto_testing")


def test_class_shape(core):
    assert core.Metrics.__doc__.strip() == "A set of 64-bit integer metrics indexed by name."
    assert core.Metrics.__doc__.startswith("\n")
    assert core.Metrics.names.__doc__ == "The list of metrics names"
    with pytest.raises(TypeError):
        core.Metrics()


def test_empty_store_has_no_names():
    metrics = qt.MetricsOwner().metrics
    assert metrics.names == []
    with pytest.raises(ValueError) as error:
        metrics["inference_end"]
    assert str(error.value) == "inference_end : no such metrics"


def test_values_and_names(core):
    metrics = qt.make_metrics({"inference_start": 2**40 + 3, "inference_frames": 7,
                               "inference_clk": -1, "big": 2**63 - 1, "small": -2**63})
    assert isinstance(metrics, core.Metrics)
    assert sorted(metrics.names) == ["big", "inference_clk", "inference_frames",
                                     "inference_start", "small"]
    assert metrics["inference_start"] == 2**40 + 3
    assert metrics["inference_frames"] == 7
    assert metrics["inference_clk"] == -1
    assert metrics["big"] == 2**63 - 1
    assert metrics["small"] == -2**63


def test_lookup_is_exact():
    metrics = qt.make_metrics({"program_clk": 1})
    for near in ["Program_clk", "program_clk ", "program"]:
        with pytest.raises(ValueError, match=f"^{near} : no such metrics$"):
            metrics[near]
    with pytest.raises(TypeError):
        metrics[1]


def test_view_is_live_and_overwrites():
    owner = qt.MetricsOwner()
    early = owner.metrics
    owner.set("inference_frames", 4)
    assert early["inference_frames"] == 4
    owner.set("inference_frames", 9)
    assert early["inference_frames"] == 9
    assert early.names == ["inference_frames"]


def test_view_outlives_its_owner_object():
    owner = qt.MetricsOwner()
    owner.set("inference_end", 2**35)
    metrics = owner.metrics
    del owner
    import gc
    gc.collect()
    assert metrics["inference_end"] == 2**35
