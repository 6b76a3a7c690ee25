"""PowerMeter and PowerEvent; events are logged through C++ hooks, as the engine would."""
import pytest

import qalto_testing as qt


@pytest.fixture
def meter():
    return qt.new_power_meter()


def log(meter, ts, voltage=1000000, current=100):
    qt.log_power_event(meter, ts, voltage, current)


def test_new_meter_is_empty(core, meter):
    assert type(meter) is core.PowerMeter
    assert meter.events() == []
    assert meter.floor is None


def test_keeps_the_last_hundred_events_oldest_first(meter):
    for ts in range(1, 102):
        log(meter, ts)
    events = meter.events()
    assert [e.ts for e in events] == list(range(2, 102))
    assert [e.ts for e in meter.events()] == list(range(2, 102))  # reading does not consume
    assert events[0] is not meter.events()[0]


def test_events_without_power_or_not_after_reset_are_dropped(meter):
    log(meter, 0)
    log(meter, -1)
    log(meter, 1, voltage=0)
    log(meter, 2, current=0)
    assert meter.events() == [] and meter.floor is None
    log(meter, 3, voltage=1200000, current=250)
    [event] = meter.events()
    assert (event.ts, event.voltage, event.current, event.power) == (3, 1200000, 250, 300)


def test_floor_and_power(meter):
    log(meter, 1, current=400)
    log(meter, 2, current=270)
    assert [e.power for e in meter.events()] == [400, 270]
    assert meter.floor == 270.0 and type(meter.floor) is float


def test_reset_keeps_events_and_drops_those_not_newer(meter):
    for ts in (1, 2, 3):
        log(meter, ts, current=100 * ts)
    qt.reset_power_meter(meter, 10)
    assert [e.ts for e in meter.events()] == [1, 2, 3]
    assert meter.floor == 0.0  # events exist, the floor is unset
    log(meter, 9, current=50)
    log(meter, 10, current=50)
    assert [e.ts for e in meter.events()] == [1, 2, 3]
    assert meter.floor == 0.0
    log(meter, 11, current=700)
    assert [e.ts for e in meter.events()] == [1, 2, 3, 11]
    assert meter.floor == 700.0


def test_power_does_not_wrap(meter):
    log(meter, 1, voltage=5000000, current=1000)
    log(meter, 2, voltage=4294967295, current=4294967295)
    powers = [e.power for e in meter.events()]
    assert powers == [5000, 4294967295 * 4294967295 // 1000000]
    assert meter.events()[1].voltage == 4294967295


def test_events_are_read_only_and_classes_have_no_constructor(core, meter):
    log(meter, 1)
    event = meter.events()[0]
    with pytest.raises(AttributeError):
        event.ts = 5
    with pytest.raises(TypeError):
        core.PowerEvent()
    with pytest.raises(TypeError):
        core.PowerMeter()


def test_docstrings(core):
    assert core.PowerEvent.__doc__ == (
        "\n    A timestamped power measurement.\n\n    Each PowerEvent contains:\n"
        "    - a voltage value in \u00b5V (microvolt),\n"
        "    - a current value in mA (milliampere),\n"
        "    - the corresponding power value in mW (milliwatt).\n          ")
    assert core.PowerMeter.__doc__ == (
        "\n    Gives access to power measurements.\n\n    When power measurements are enabled for "
        "a specific device, this object\n    stores them as a list of ``PowerEvent`` objects.\n"
        "    The events list cannot exceed a predefined size: when it is full, older\n"
        "    events are replaced by newer events.\n          ")
    assert core.PowerEvent.ts.__doc__ == "Timestamp of the event"
    assert core.PowerEvent.voltage.__doc__ == "Voltage value in \u00b5V"
    assert core.PowerEvent.current.__doc__ == "Current value in mA"
    assert core.PowerEvent.power.__doc__ == "Power value in mW"
    assert core.PowerMeter.events.__doc__ == "Retrieve all pending events"
    assert core.PowerMeter.floor.__doc__ == "Get the floor power"


def test_reading_while_a_thread_logs(meter):
    count = 20000
    logger = qt.start_logging_thread(meter, 1, count)
    reads = 0
    try:
        while True:
            events = meter.events()
            reads += 1
            assert len(events) <= 100
            stamps = [e.ts for e in events]
            if stamps:
                assert stamps == list(range(stamps[0], stamps[0] + len(stamps)))
            # the logger encodes each timestamp in the current: a torn event would not match
            assert all(e.current == e.ts % 1000 + 1 and e.voltage == 1000000 for e in events)
            floor = meter.floor
            assert floor is None or 1.0 <= floor <= 1000.0
            if stamps and stamps[-1] == count:
                break
    finally:
        logger.join()
    assert reads >= 1
    assert [e.ts for e in meter.events()] == list(range(count - 99, count + 1))
    assert meter.floor == 1.0
