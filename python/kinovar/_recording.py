"""Recordings in memory: a numpy array per channel, each a view of the
memory the core filled, and their tables for pandas."""
import json

import numpy as np

from . import _core


class Stream:
    """One stream of a recording: ``time`` (float64 seconds) and one float64
    array per channel, ``rate`` its samples per second (0 for events)."""

    def __init__(self, name, rate, time, channels):
        self.name = name
        self.rate = rate
        self.time = time
        self.channels = channels

    def __getattr__(self, channel):
        try:
            return self.__dict__["channels"][channel]
        except KeyError:
            raise AttributeError(f"stream {self.__dict__.get('name')!r} has no channel {channel!r}") from None

    def __getitem__(self, channel):
        return self.time if channel == "time" else self.channels[channel]

    def __len__(self):
        return len(self.time)

    def __repr__(self):
        return f"<kinovar.Stream {self.name}: {len(self)} samples at {self.rate} Hz, channels {', '.join(self.channels)}>"


def _datetimes(time, time_base):
    """The times as datetime64[us], the base's whole seconds kept apart so that no microsecond is lost."""
    whole = np.floor(time_base)
    micros = np.rint((time_base - whole + np.asarray(time)) * 1e6).astype(np.int64) + np.int64(whole) * 1_000_000
    return micros.astype("datetime64[us]")


def _frame(pd, stream, datetime, time_base, names=None):
    columns = {}
    for channel, values in stream.channels.items():
        name = names[channel] if names else channel
        # Events are whole numbers; a nullable type keeps them so in a joined table's empty cells.
        columns[name] = pd.array(values.astype(np.int32), dtype="Int32") if stream.name == "events" else values
    index = pd.Index(stream.time, name="time")
    frame = pd.DataFrame(columns, index=index)
    if datetime:
        frame.insert(0, "time", stream.time)
        frame.index = pd.DatetimeIndex(_datetimes(stream.time, time_base), name="datetime")
    return frame


class Recording:
    """A loaded recording.

    ``streams`` maps each stream the recording has (accel, gyro, baro,
    events, orientation) to a :class:`Stream`, also reachable as an
    attribute (``rec.accel.x``); ``info`` is its description (dates, clock,
    firmware, measure id), ``quality`` what happened in it (samples, rates,
    gaps, duplicates, saturation) and ``time_base`` the seconds since 1970,
    in the device's local time, at time 0. ``calibration`` says how the
    samples were calibrated (None when ``calibrate='off'``).
    """

    def __init__(self, raw, path=None, calibration=None):
        self.path = path
        self.calibration = calibration
        self.info = json.loads(raw["info"])
        self.quality = json.loads(raw["quality"])
        self.time_base = raw["time_base"]
        self.streams = {name: Stream(name, rate, time, channels) for name, (rate, time, channels) in raw["streams"].items()}

    def __getattr__(self, name):
        try:
            return self.__dict__["streams"][name]
        except KeyError:
            raise AttributeError(f"the recording has no stream {name!r}") from None

    def __repr__(self):
        where = f" {self.path}" if self.path is not None else ""
        return f"<kinovar.Recording{where}: {', '.join(f'{n} {len(s)}' for n, s in self.streams.items()) or 'no samples'}>"

    def to_pandas(self, how=None, datetime=False):
        """One DataFrame per stream, indexed by ``time``, as a dict; with
        ``how='outer'`` one table with a row per instant any stream has a
        sample at, its columns named as the CSV names them, empty where a
        stream has no sample. ``datetime=True`` indexes by the samples'
        dates instead (``time`` kept as a column)."""
        import pandas as pd

        if how not in (None, "outer"):
            raise ValueError(f"to_pandas: how must be None (a DataFrame per stream) or 'outer' (one table), not {how!r}")
        if not isinstance(datetime, bool):
            raise TypeError(f"to_pandas: datetime must be True or False, not {type(datetime).__name__}")
        if how is None:
            return {name: _frame(pd, stream, datetime, self.time_base) for name, stream in self.streams.items()}
        return _outer(pd, self, datetime)


def _outer(pd, recording, datetime):
    """The table of every stream, its rows and cells as the core's other tables have them."""
    streams = recording.streams
    rows, time, held = _core.held_rows({name: (s.time, s.channels) for name, s in streams.items()})
    if rows == 0:
        time = np.empty(0)
    elif time is None:
        time = next(s.time for s in streams.values() if len(s) == rows)
    columns = {}
    for column, stream, channel, values, valid in held:
        if values is None:
            values = streams[stream].channels[channel]
        empty = np.zeros(rows, bool) if valid is None else ~np.unpackbits(valid, count=rows, bitorder="little").view(bool)
        if stream == "events":
            columns[column] = pd.arrays.IntegerArray(values.astype(np.int32), empty)
        else:
            columns[column] = np.where(empty, np.nan, values) if valid is not None else values
    table = pd.DataFrame(columns, index=pd.Index(time, dtype=float, name="time"))
    if datetime:
        table.insert(0, "time", time)
        table.index = pd.DatetimeIndex(_datetimes(time, recording.time_base), name="datetime")
    return table


class RecordingSet:
    """Recordings made together, on one time base: every ``time`` counts
    from the start of their common window, so one instant has one time in
    every recording. ``report`` says how they were aligned."""

    def __init__(self, recordings, report):
        self.recordings = recordings
        self.report = report

    def __len__(self):
        return len(self.recordings)

    def __iter__(self):
        return iter(self.recordings)

    def __getitem__(self, index):
        return self.recordings[index]

    def __repr__(self):
        return f"<kinovar.RecordingSet of {len(self)} recordings, aligned by {self.report.get('method')}>"

    def to_pandas(self, how=None, datetime=False):
        """Recording.to_pandas of each recording, in the set's order."""
        return [recording.to_pandas(how=how, datetime=datetime) for recording in self.recordings]
