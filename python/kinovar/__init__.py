"""Kinovar inertial sensor recordings in Python.

The same core as the Node library: each sample at its true time, the
orientation estimated from the accelerometer and gyroscope, sets of
recordings on one time base, and the sensors' settings files. Samples come
as numpy arrays that are views of the memory the core filled; the core
works without the GIL, so threads load in parallel.
"""
import calendar
import datetime as _datetime
import json
import math
import numbers
import os
import warnings

from . import _bids, _core
from ._errors import KinovarError, LocalTimeWarning, SettingsValueError, from_os_error, system_error
from ._recording import Recording, RecordingSet, Stream, _datetimes

__all__ = [
    "KinovarError", "LocalTimeWarning", "Recording", "RecordingSet", "Stream", "load", "load_set", "epochs", "calibrate",
    "inspect", "convert", "read_settings", "write_settings",
]

ORIENTATIONS = ("classic", "accurate", "none")
CLOCKS = ("drift", "offset")
# 'csv' names the classic CSV, as it did in 0.1.
FORMATS = ("plain", "classic", "csv", "parquet")
# Formats of recordings made together: one file for the set.
SET_FORMATS = ("opensense",)
# Formats a set is written in as a file per recording, <stem>.csv.
CSV_FORMATS = ("plain", "classic", "csv")
STREAMS = tuple(name for name, _ in _core.stream_layouts())
# A settings file is one block; a recording's data follow it.
_BLOCK = _core.settings_block_size


def _path(value, fn, name="path"):
    """A path as the file system's bytes; str, bytes or os.PathLike."""
    try:
        path = os.fspath(value)
    except TypeError:
        raise TypeError(f"{fn}: {name} must be a str or os.PathLike, not {type(value).__name__}") from None
    encoded = os.fsencode(path)
    if b"\0" in encoded:
        raise ValueError(f"{fn}: {name} holds a NUL character, which no file name can: {path!r}")
    return encoded


def _choice(value, fn, name, allowed):
    if not isinstance(value, str):
        raise TypeError(f"{fn}: {name} must be a str, not {type(value).__name__}")
    if value not in allowed:
        raise ValueError(f"{fn}: {name} must be one of {', '.join(map(repr, allowed))}, not {value!r}")
    return value


def _seconds(value, fn, name, default):
    if value is None:
        return default
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{fn}: {name} must be seconds (a number) or None, not {type(value).__name__}")
    if math.isnan(value):
        raise ValueError(f"{fn}: {name} is NaN; give seconds from the first sample")
    return float(value)


def _threads(value, fn):
    """The most threads the core keeps busy for one call; None (0 to the core): one per core."""
    if value is None:
        return 0
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{fn}: threads must be a whole number or None, not {type(value).__name__}")
    if not 1 <= value <= 1024:
        raise ValueError(f"{fn}: threads must be from 1 to 1024, not {value}")
    return int(value)


def _asked(fn, orientation, calibrate, force, threads):
    """What a conversion asks of the core: the estimator, the calibration
    ('auto', 'off' or a calibration file) and whether a file of another
    device applies."""
    orientation = _choice(orientation, fn, "orientation", ORIENTATIONS)
    if calibrate not in ("auto", "off"):
        if isinstance(calibrate, str) and calibrate == "":
            raise ValueError(f"{fn}: calibrate must be 'auto', 'off' or a calibration file's path, not ''")
        calibrate = _path(calibrate, fn, "calibrate ('auto', 'off' or a calibration file's path)")
    if not isinstance(force, bool):
        raise TypeError(f"{fn}: force must be True or False, not {type(force).__name__}")
    return _core.Asked(orientation, calibrate, force, _threads(threads, fn))


def _calibration(raw, calibrate):
    """The calibration report, where calibration was asked for."""
    return None if calibrate == "off" else json.loads(raw)


def _window(fn, start, stop, streams):
    start = _seconds(start, fn, "start", -math.inf)
    stop = _seconds(stop, fn, "stop", math.inf)
    if start > stop:
        raise ValueError(f"{fn}: start ({start} s) comes after stop ({stop} s); give the earlier time first")
    if streams is None:
        return start, stop, []
    if isinstance(streams, str) or not all(isinstance(s, str) for s in streams):
        raise TypeError(f"{fn}: streams must be a list of stream names, not {streams!r}")
    streams = list(streams)
    unknown = [s for s in streams if s not in STREAMS]
    if unknown:
        raise ValueError(f"{fn}: unknown streams {unknown}; the streams are {', '.join(STREAMS)}")
    return start, stop, streams


def _display(path):
    return os.fsdecode(path)


def _check_recording(path):
    """Raises the system's error for a file that cannot be read, and
    ERR_KINOVAR_FORMAT for one without settings at its start, as the core
    finds them; a file cut short or without samples is told once read."""
    found = _core.check_recording(path)
    if found is None:
        return
    reason, number = found
    if number:
        raise system_error(number, _display(path), "read")
    if reason == "not-a-recording":
        raise KinovarError(f"{_display(path)}: not a recording (no settings block at its start)", "ERR_KINOVAR_FORMAT",
                           path=_display(path))


def _require_samples(path, quality):
    if all(stream["samples"] == 0 for stream in quality["streams"].values()):
        raise KinovarError(f"{_display(path)} holds no samples (a settings file, or the sensor recorded nothing): there "
                           "is nothing to load or convert; kinovar.read_settings reads its settings",
                           "ERR_KINOVAR_NO_SAMPLES", path=_display(path))


def load(path, *, start=None, stop=None, streams=None, orientation="accurate", calibrate="auto", force=False, threads=None):
    """Loads a recording into memory.

    Each stream the recording has becomes a :class:`Stream` of numpy arrays:
    ``time`` in seconds from the recording's first sample (its ticks over
    the clock rate) and one array per channel. ``start``/``stop`` keep the
    samples with ``start <= time < stop`` and ``streams`` only the streams
    named (accel, gyro, baro, events, orientation); only those are read
    into memory. ``orientation`` chooses the estimator: 'accurate' (offline,
    with gyroscope bias estimation), 'classic' (the sensor software's
    filter) or 'none'; a sample without an estimate reads NaN.
    ``calibrate``: 'auto' fits the accelerometer and gyroscope calibration
    on the recording's own still moments and applies it when accepted,
    'off' keeps the sensor's samples, a path applies a calibration file
    (``force=True`` even one of another device); ``calibration`` then holds
    the report. ``threads`` caps the threads the core keeps busy (default:
    one per core); a program that loads from several threads at once may
    give each fewer.
    """
    encoded = _path(path, "load")
    asked = _asked("load", orientation, calibrate, force, threads)
    window = _window("load", start, stop, streams)
    _check_recording(encoded)
    raw = _core.load(encoded, asked, *window)
    recording = Recording(raw, path, _calibration(raw["calibration"], calibrate))
    _require_samples(encoded, recording.quality)
    if not raw["parsed"]:
        raise KinovarError(f"{_display(encoded)}: damaged recording (a data block could not be read); "
                           "kinovar.convert still converts what it holds", "ERR_KINOVAR_FORMAT", path=_display(encoded))
    return recording


# Why a set was refused: the code the Node library gives it, and what to do.
_SET_FAILURES = {
    "unparsed": ("ERR_KINOVAR_UNREADABLE", "not every recording could be read"),
    "no-orientation": ("ERR_KINOVAR_NO_ORIENTATION", "the orientation could not be estimated for every recording "
                       "(each needs accelerometer and gyroscope samples at one rate)"),
    "not-synchronised": ("ERR_KINOVAR_NOT_SYNCHRONISABLE", "the recordings could not be put on one time base"),
}


def _set_error(outcome, paths):
    failure = outcome["failure"]
    if outcome.get("empty"):
        # A recording without samples is named for what it lacks, whatever the set made of it.
        path = _display(paths[outcome["empty"][0]])
        return KinovarError(f"{path} holds no samples (a settings file, or the sensor recorded nothing): there is "
                            "nothing to convert", "ERR_KINOVAR_NO_SAMPLES", path=path)
    code, words = _SET_FAILURES[failure]
    named = lambda indices: [_display(paths[i]) for i in indices]  # noqa: E731
    if failure == "unparsed":
        cause = [{"path": _display(paths[u["recording"]]), "reason": u["reason"],
                  **({"errno": u["errno"]} if u.get("errno") else {})} for u in outcome["unparsed"]]
        detail = "; ".join(f"{c['path']}: {c['reason']}" + (f" ({os.strerror(c['errno'])})" if "errno" in c else "")
                           for c in cause)
    elif failure == "no-orientation":
        cause = {"recordings": named(outcome["noOrientation"])}
        detail = ", ".join(cause["recordings"])
    else:
        cause = {"reason": outcome["refusal"], "method": outcome["method"], "recordings": named(outcome["recordings"])}
        detail = outcome["refusal"] + (f" ({', '.join(cause['recordings'])})" if cause["recordings"] else "")
    return KinovarError(f"{words}: {detail}", code, cause=cause)


def load_set(paths, *, clock="drift", start=None, stop=None, streams=None, orientation="accurate", calibrate="auto",
             force=False, threads=None):
    """Loads recordings made together, on one time base and cut to their
    common window: every ``time`` counts from the window's start.

    ``clock='drift'`` places each recording by its clock's measured model
    (offset and rate); 'offset' by one offset each. ``start``, ``stop``,
    ``streams``, ``orientation``, ``calibrate``, ``force`` and ``threads`` as
    :func:`load`, on the set's time (a calibration file names one device,
    so it fits a set only with ``force=True``).
    Returns a :class:`RecordingSet`; its ``report`` says how they were aligned.
    """
    if isinstance(paths, (str, bytes)) or not hasattr(paths, "__iter__"):
        raise TypeError(f"load_set: paths must be a list of paths, not {type(paths).__name__}")
    originals = list(paths)
    encoded = [_path(p, "load_set", "each path") for p in originals]
    clock = _choice(clock, "load_set", "clock", CLOCKS)
    asked = _asked("load_set", orientation, calibrate, force, threads)
    window = _window("load_set", start, stop, streams)
    raw = _core.load_set(encoded, asked, clock, *window)
    outcome = json.loads(raw["outcome"])
    if outcome["failure"] is not None:
        raise _set_error(outcome, encoded)
    recordings = [Recording(r, p, _calibration(r["calibration"], calibrate)) for r, p in zip(raw["recordings"], originals)]
    # The report as the Node library gives it, without the files a load does not write.
    report = {k: v for k, v in outcome.items() if k not in ("status", "failure", "files", "calibrations")}
    report["recordings"] = [_display(p) for p in encoded]
    if calibrate != "off":
        report["calibration"] = [r.calibration for r in recordings]
    return RecordingSet(recordings, report)


def _positive(value, fn, name):
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{fn}: {name} must be a number, not {type(value).__name__}")
    if not value > 0:
        raise ValueError(f"{fn}: {name} must be above 0, not {value}")
    return float(value)


def epochs(path, *, epoch=5, nonwear=True, nonwear_sd_mg=None, nonwear_range_mg=None, nonwear_window_minutes=None,
           time="relative", timezone=None, days=False, valid_hours=16, calibrate="auto", force=False, threads=None):
    """Epoch summaries of a recording as a pandas DataFrame: one row per
    ``epoch`` seconds (1 to 3600) from the first sample, or from whole clock
    times with ``time='absolute'`` (then indexed by the epochs' dates).

    Columns: ``samples`` (accelerometer samples in the epoch), ``enmo`` and
    ``mad`` (g), ``anglez`` (degrees), the per-axis means and SDs,
    ``clipped`` samples, ``nonwear`` (0 or 1), and with a gyroscope
    ``gyro_mean``, with a barometer ``pressure`` and ``temperature``; an
    epoch without samples has empty cells. Non-wear after van Hees et al.
    (2013): 60-minute windows stepping by a quarter of it, where two axes
    have SD below 13 mg and range below 150 mg; the ``nonwear_`` arguments
    change those, ``nonwear=False`` turns it off. ``calibrate`` and
    ``force`` as :func:`load`. ``attrs`` holds the recording's ``info`` and
    ``quality``, the ``calibration`` report (unless 'off'), the columns'
    ``units`` and the ``summary`` (epochs, recorded, worn and not-worn
    hours, clipped samples).

    ``timezone`` (an IANA name, with ``time='absolute'``) reads the
    recording's creation time as that zone's wall time: the index is then
    in UTC. ``days=True`` adds ``attrs['days']``, a DataFrame of the days
    (the zone's local days, 23 or 25 hours across a change of
    daylight-saving time; without a zone, 24 h from the first epoch) with
    their recorded, worn, not-worn and clipped hours, the mean ENMO worn and
    whether the day is ``valid`` (at least ``valid_hours`` worn); the
    epoch must then divide a day. One streaming pass; only the table is held.
    """
    import pandas as pd

    fn = "epochs"
    encoded = _path(path, fn)
    epoch = _positive(epoch, fn, "epoch")
    if not 1 <= epoch <= 3600:
        raise ValueError(f"{fn}: epoch must be seconds from 1 to 3600, not {epoch}; the field's usual epochs are 5, 30 and 60 s")
    if not isinstance(nonwear, bool):
        raise TypeError(f"{fn}: nonwear must be True or False, not {type(nonwear).__name__}")
    sd = None if nonwear_sd_mg is None else _positive(nonwear_sd_mg, fn, "nonwear_sd_mg") / 1000
    spread = None if nonwear_range_mg is None else _positive(nonwear_range_mg, fn, "nonwear_range_mg") / 1000
    window = nonwear_window_minutes
    if window is not None and (isinstance(window, bool) or not isinstance(window, numbers.Integral)):
        raise TypeError(f"{fn}: nonwear_window_minutes must be whole minutes, not {type(window).__name__}")
    if window is not None and not 1 <= window <= 1440:
        raise ValueError(f"{fn}: nonwear_window_minutes must be from 1 to 1440, not {window}")
    absolute, offset_at = _time_asked(time, timezone, fn)
    if not isinstance(days, bool):
        raise TypeError(f"{fn}: days must be True or False, not {type(days).__name__}")
    if days:
        if 86400 % epoch:
            raise ValueError(f"{fn}: epoch ({epoch:g} s) must divide a day (86400 s) evenly when days are asked, so that no "
                             "epoch straddles midnight; choose 5, 10, 15, 30 or 60 s, for instance")
        if isinstance(valid_hours, bool) or not isinstance(valid_hours, numbers.Real):
            raise TypeError(f"{fn}: valid_hours must be hours (a number), not {type(valid_hours).__name__}")
        if not 0 <= valid_hours <= 25:
            raise ValueError(f"{fn}: valid_hours must be hours from 0 to 25, not {valid_hours}")
    asked = _asked(fn, "none", calibrate, force, threads)
    _check_recording(encoded)
    utc_offset = _utc_offset(encoded, absolute, offset_at)
    raw = _core.epochs(encoded, asked, epoch, nonwear, sd, spread, window, absolute, utc_offset,
                       float(valid_hours) if days else None, offset_at)
    quality = json.loads(raw["quality"])
    _require_samples(encoded, quality)
    if raw["refusal"] == "unparsed":
        raise KinovarError(f"{_display(encoded)}: damaged recording (a data block could not be read); "
                           "kinovar.convert still converts what it holds", "ERR_KINOVAR_FORMAT", path=_display(encoded))
    if raw["refusal"] == "no-accel":
        raise KinovarError(f"{_display(encoded)}: has no accelerometer samples, which every epoch metric is made from; "
                           "epochs need a recording whose accelerometer was on", "ERR_KINOVAR_NO_ACCELEROMETER",
                           path=_display(encoded))
    columns = {name: pd.array(values, dtype="Int64") if integer else values for name, _, integer, values in raw["columns"]}
    table = pd.DataFrame(columns, index=pd.Index(raw["time"], name="time"))
    if absolute:
        table.insert(0, "time", raw["time"])
        table.index = pd.DatetimeIndex(_datetimes(raw["time"], raw["time_base"]), name="datetime")
        if timezone is not None:
            table.index = table.index.tz_localize("UTC")
    table.attrs = {"info": json.loads(raw["info"]), "quality": quality, "summary": raw["summary"],
                   "units": {name: unit for name, unit, _, _ in raw["columns"]}}
    calibration = _calibration(raw["calibration"], calibrate)
    if calibration is not None:
        table.attrs["calibration"] = calibration
    if days:
        day_time = raw["days"].pop("time")
        day_columns = {name: pd.array(values, dtype="Int64") if integer else values
                       for name, (_, integer, values) in raw["days"].items()}
        table.attrs["days"] = pd.DataFrame(day_columns, index=pd.Index(day_time, name="time"))
        table.attrs["summary"]["validDays"] = raw["summary"]["validDays"]
    return table


def _zone_offsets(zone, fn):
    """Seconds east of UTC that the IANA zone is at an instant (seconds
    since 1970, UTC), by Python's zone rules."""
    from zoneinfo import ZoneInfo

    if not isinstance(zone, str):
        raise TypeError(f"{fn}: timezone must be an IANA zone name (a str), not {type(zone).__name__}")
    try:
        rules = ZoneInfo(zone)
    except (ValueError, OSError, LookupError):
        raise ValueError(f'{fn}: timezone must be an IANA zone name such as "Europe/Paris" or "UTC", not {zone!r}') from None
    def offset_at(seconds):
        return _datetime.datetime.fromtimestamp(math.floor(seconds), rules).utcoffset().total_seconds()

    offset_at.zone = zone
    return offset_at


def _time_asked(time, timezone, fn):
    """Whether absolute time is asked, and the zone's offsets (seconds east of UTC at an instant) when one is given."""
    time = _choice(time, fn, "time", ("relative", "absolute"))
    if timezone is None:
        return time == "absolute", None
    if time != "absolute":
        raise ValueError(f"{fn}: timezone goes with time='absolute'")
    return True, _zone_offsets(timezone, fn)


def _utc_offset(path, absolute, offset_at):
    """The zone's offset at the recording's creation time, which absolute time stands on (refused without one)."""
    if not absolute:
        return None
    created = _created_at(path)
    if offset_at is None:
        return None
    offset = _core.wall_time_offset(offset_at, created)
    change = _core.wall_time_change(offset_at, created)
    if change:
        wall = _datetime.datetime.fromtimestamp(created, _datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S")
        sign, minutes = "-" if offset < 0 else "+", int(abs(offset)) // 60
        warnings.warn(f"{_display(path)}: its creation time {wall} {'does not exist' if change == 'skipped' else 'occurs twice'} "
                      f"in {offset_at.zone} (a change of daylight-saving time {change} it); the datetime column takes it "
                      f"at UTC{sign}{minutes // 60:02d}:{minutes % 60:02d}: check the device's clock, or give the zone it "
                      "kept (timezone=)", LocalTimeWarning, stacklevel=4)
    return offset


def _rate(resample, fn):
    """The grid's rate asked for, samples per second; 0 for none."""
    if resample is None:
        return 0.0
    if isinstance(resample, bool) or not isinstance(resample, numbers.Real):
        raise TypeError(f"{fn}: resample must be samples per second (a number), not {type(resample).__name__}")
    if not 0 < resample <= 100000:
        raise ValueError(f"{fn}: resample must be samples per second above 0 and at most 100000, not {resample!r}")
    return float(resample)


def _created_at(path):
    """The recording's creation time, seconds since 1970 read as UTC: what absolute time stands on."""
    created = json.loads(_core.read_config(path) or "{}").get("createdAt", "")
    try:
        wall = _datetime.datetime.strptime(created, "%Y-%m-%d %H:%M:%S")
    except ValueError:
        raise KinovarError(f"{_display(path)}: has no real creation date ({created!r}), which absolute time stands on; "
                           "ask without time='absolute'", "ERR_KINOVAR_FORMAT", path=_display(path)) from None
    return float(calendar.timegm(wall.timetuple()))


def calibrate(path, *, out=None, overwrite=False):
    """The calibration a recording's own still moments give, after van Hees
    et al. (2014): the accelerometer's offset, scale and temperature term
    per axis, fitted so that every still 10 s window's mean lies at 1 g, and
    the gyroscope's bias at rest; with the error at rest before and after,
    and why a fit was refused. Nothing is converted. With ``out``, the
    report is also written there as a calibration file (an output of ours
    there is replaced, any other file only with ``overwrite=True``), which ``calibrate=`` of a
    conversion applies to the device's other recordings."""
    encoded = _path(path, "calibrate")
    target = None if out is None else _path(out, "calibrate", "out")
    if not isinstance(overwrite, bool):
        raise TypeError(f"calibrate: overwrite must be True or False, not {type(overwrite).__name__}")
    _check_recording(encoded)
    if target is not None:
        _refuse_clash(encoded, target, "is the recording itself: the calibration file must not replace it")
        _refuse_existing(target, overwrite)
    report = _core.calibrate(encoded, target)
    if report is None:
        raise KinovarError(f"{_display(encoded)}: could not be read to its end", "ERR_KINOVAR_UNREADABLE",
                           path=_display(encoded))
    if isinstance(report, tuple):
        number, step, where = report
        raise system_error(number, where, f"write the calibration file ({step})")
    return json.loads(report)


def inspect(path):
    """What happened in a recording: per stream the samples, rates, first
    and last time, duplicate frames dropped, gaps and saturated samples; for
    the file the blocks out of order and the settings records that could not
    be used; under "calibration", the fit the recording's still moments give
    (as calibrate() reports it), with a "warning" when the raw accelerometer
    is more than 10 mg off 1 g at rest."""
    encoded = _path(path, "inspect")
    _check_recording(encoded)
    report = _core.inspect(encoded)
    if report is None:
        raise KinovarError(f"{_display(encoded)}: could not be read to its end", "ERR_KINOVAR_UNREADABLE",
                           path=_display(encoded))
    return json.loads(report)


def _refuse_clash(recording, target, itself):
    """Raises, by the core's rule, when writing ``target`` would destroy the
    recording (``itself`` says so) or Windows would hand it to a device."""
    clash = _core.target_clash([recording], [target])
    if clash is None:
        return
    if clash[0] == "replaces-recording":
        raise KinovarError(f"{_display(target)} {itself}", "ERR_KINOVAR_NOT_OURS", path=_display(target))
    name = os.path.basename(_display(target)).split(".")[0]
    raise KinovarError(f"{_display(target)} cannot be written ({name} is a device name on Windows, not a file; choose "
                       "another name)", "ERR_KINOVAR_NOT_OURS", path=_display(target))


def _existing(target):
    """(kind, size, ours) of what stands at target, as the core finds it."""
    kind, size, ours, _, number = _core.existing_file(target)
    if number:
        raise system_error(number, _display(target), "open")
    return kind, size, ours


def _refuse_existing(target, overwrite):
    """Raises unless an output may take target's place: nothing is there, an
    output of kinovar is (one may replace another), or overwrite says so."""
    shown = _display(target)
    kind, size, ours = _existing(target)
    if kind == "folder":
        raise KinovarError(f"{shown} is a folder; give a file name for the output", "EISDIR", path=shown)
    if ours or overwrite:
        return
    what = {"recording": "a recording, ", "settings": "a settings file, "}.get(kind, "")
    raise KinovarError(f"{shown} exists and is not a file kinovar wrote ({what}{size} bytes): kinovar will not "
                       "replace it. Choose another output name, or replace it on purpose with overwrite=True.",
                       "ERR_KINOVAR_NOT_OURS", path=shown)


def _imu_names(given, paths, suffix="_imu", holder="OpenSim's table"):
    """The columns of OpenSim's table (or a BIDS run's tracked points): as
    given, or each file's stem with ``suffix``, mended; each one the table
    can hold, none twice."""
    fn = "convert"
    names = [_core.imu_name(p, suffix) for p in paths] if given is None else given
    if isinstance(names, (str, bytes)) or not all(isinstance(n, str) for n in names):
        raise TypeError(f"{fn}: imu_names must be a list of {len(paths)} str, one per recording")
    names = list(names)
    if len(names) != len(paths):
        raise ValueError(f"{fn}: imu_names must be {len(paths)} names, one per recording, not {len(names)}")
    for name in names:
        if name == "" or _core.mended_name(name) != name:
            raise ValueError(f"{fn}: IMU name {name!r} is empty or holds a blank, comma or control character, which "
                             f"{holder} cannot hold in a name; use {_core.mended_name(name) or 'a name'!r}")
    twice = next((n for i, n in enumerate(names) if n in names[:i]), None)
    if twice is not None:
        raise ValueError(f"{fn}: two sensors have the same IMU name {twice!r}; "
                         f"{'give each its own' if given is not None else 'name each sensor with imu_names'}")
    return names


def _is_list(paths):
    return not isinstance(paths, (str, bytes, os.PathLike)) and hasattr(paths, "__iter__")


def _is_recording(target, recordings):
    clash = _core.target_clash(recordings, [target])
    return clash is not None and clash[0] == "replaces-recording"


def _set_report(outcome, encoded, files, calibrated, rate):
    """A written set's report as the Node library gives it: the outcome with the recordings and files shown, and
    how it was resampled (at rate, 0 for not) and calibrated."""
    report = {k: v for k, v in outcome.items() if k not in ("status", "failure", "calibrations")}
    report["recordings"] = [_display(p) for p in encoded]
    report["files"] = files
    if rate:
        report["resample"] = {"rate": rate, "grid": _core.RESAMPLE_GRID, "method": _core.RESAMPLE_METHOD}
    if calibrated:
        report["calibration"] = outcome["calibrations"]
    return report


def _output_error(outcome, paths, folder, format):
    """The error of a set whose CSV or Parquet files were refused or not written, in the Node library's words."""
    kind = "Parquet" if format == "parquet" else "CSV"
    named = [_display(paths[i]) for i in outcome["recordings"]]
    problem = outcome["output"]
    file = _core.file_stem(paths[outcome["recordings"][0]]) + (b".parquet" if format == "parquet" else b".csv") if named else b""
    if problem == "same-name":
        detail = f"{', '.join(named)} would both be written to {_display(os.path.join(folder, file))}; rename one of them"
    elif problem == "replaces-recording":
        detail = f"a {kind} file would replace the recording {named[0]}; choose another output folder"
    elif problem == "device-name":
        detail = (f"the {kind} file of {named[0]} would be {_display(file)}, a device name on Windows, not a file; "
                  "rename that recording")
    else:
        detail = f"the {kind} files of {', '.join(named)} could not be written into {_display(folder)}; check the disk"
    code = "ERR_KINOVAR_CSV_NOT_WRITTEN" if format in ("classic", "csv") else "ERR_KINOVAR_OUTPUT_NOT_WRITTEN"
    return KinovarError(f"not every {kind} file could be written: {detail}", code, path=_display(folder),
                        cause={"reason": problem, "recordings": named, "path": _display(folder)})


def _convert_set(paths, out, format, imu_names, clock, asked, report_calibration, overwrite, timing):
    """Recordings made together, as :func:`convert` writes them: OpenSim's
    table, or a CSV or Parquet file per recording."""
    fn = "convert"
    if not _is_list(paths):
        raise TypeError(f"{fn}: format='opensense' makes one table of recordings made together: path must be a list "
                        f"of recordings, not {type(paths).__name__}")
    encoded = [_path(p, fn, "each path") for p in paths]
    folder = _path(out, fn, "out")
    clock = _choice(clock, fn, "clock", CLOCKS)
    opensim = format in SET_FORMATS
    if imu_names is not None and not opensim:
        raise ValueError("convert: imu_names names the columns of format='opensense'")
    names = _imu_names(imu_names, encoded) if opensim else None
    if opensim:
        targets = [os.path.join(folder, b"orientations.sto")]
    else:
        extension = b".parquet" if format == "parquet" else b".csv"
        targets = [os.path.join(folder, _core.file_stem(p) + extension) for p in encoded]
    # A plain set's report, and OpenSim's, take their name with the files.
    besides = [os.path.join(folder, os.fsencode(_core.SET_FILE))] if format in ("plain", "opensense") else []
    for target in targets + besides:
        # One that is a recording is refused by the set's own rule, after the synchronisation.
        if not _is_recording(target, encoded):
            _refuse_existing(target, overwrite)
    rate, absolute, offset_at = timing
    if absolute:
        # The set's time stands on its first recording's.
        _check_recording(encoded[0])
    utc_offset = _utc_offset(encoded[0], absolute, offset_at)
    created = not os.path.isdir(folder)
    os.makedirs(folder, exist_ok=True)
    try:
        if opensim:
            answer = _core.convert_opensim(encoded, folder, names, asked, clock, rate)
        elif format == "parquet":
            answer = _core.convert_parquet_set(encoded, folder, asked, clock, rate, absolute, utc_offset)
        else:
            answer = _core.convert_set(encoded, folder, asked, clock, "classic" if format == "csv" else format, rate,
                                       absolute, utc_offset)
        if isinstance(answer, tuple):
            number, step, where = answer
            what = "OpenSim's table" if opensim else "the Parquet files" if format == "parquet" else "the CSV files"
            raise system_error(number, where, f"write {what} ({step})")
        outcome = json.loads(answer)
        if outcome["failure"] == "output" and opensim:
            raise KinovarError(f"{_display(targets[0])} is one of the recordings; write OpenSim's table into another folder",
                               "ERR_KINOVAR_OUTPUT_NOT_WRITTEN", path=_display(folder))
        if outcome["failure"] == "output" and not outcome.get("empty"):
            raise _output_error(outcome, encoded, folder, format)
        if outcome["failure"] is not None:
            raise _set_error(outcome, encoded)
    except BaseException:
        # A failed set leaves no folder behind that it made itself.
        if created:
            os.rmdir(folder)
        raise
    return _set_report(outcome, encoded, [_display(t) for t in targets], report_calibration, rate)


def convert(path, out, *, format="plain", orientation="accurate", calibrate=None, force=False, overwrite=False, threads=None,
            imu_names=None, clock="drift", subject=None, session=None, task=None, tracksys=None, acquisition=None, run=None,
            placements=None, time="relative", timezone=None, resample=None):
    """Converts a recording into a CSV or Parquet file, or recordings made
    together into OpenSim's orientation table or a CSV or Parquet file
    each, as the command line does.

    ``format='opensense'`` takes a list of recordings as ``path`` and a
    folder as ``out``, and writes ``out/orientations.sto``: a column per
    recording (``imu_names``, else each file's stem with ``_imu``), a row
    per instant of the first recording where every one has an estimate, on
    the set's time base (``clock`` as :func:`load_set`). A list of
    recordings with 'plain', 'classic' or 'csv' writes ``out/<stem>.csv``
    for each ('parquet': ``out/<stem>.parquet``, each carrying the set's
    report), on the set's time base, the files taking their names
    together once all are complete. A set returns its report, as
    :func:`load_set` gives it, with the files written in ``files``.

    ``format='plain'`` has a header row of names and a row per instant a
    sample was taken at, with its true time; 'parquet' is that table as a
    Parquet file, the recording's description in its metadata (the bytes
    the Node library writes); 'classic' ('csv') is the classic CSV (a row
    per clock tick, the classic time column). The file is written beside
    its target and takes its name when complete. An existing ``out`` that
    kinovar wrote (in any format) is replaced; any other file only with
    ``overwrite=True``, and never the recording itself. ``calibrate`` and ``force`` as :func:`load`; by default the
    tables are calibrated ('auto') and the classic CSV keeps the sensor's
    samples ('off'), as the command line writes them. Returns the
    recording's description with its ``quality`` report (and
    ``calibration``, unless 'off').

    ``time='absolute'`` adds a datetime column to 'plain' and 'parquet'
    (a set's: its first recording's creation time at its first sample),
    in UTC with ``timezone`` (the IANA zone the sensor's clock kept).
    ``resample`` (Hz) puts 'plain', 'parquet' and 'opensense' on a uniform
    grid from the first sample (a set: from its window's start); the
    classic CSV keeps its rows and takes neither.

    ``format='bids'`` writes a recording, or a list of recordings made
    together, as one tracking system of the Motion-BIDS dataset at ``out``
    (made, or added to): the labels ``subject`` and ``task`` (required),
    ``session``, ``tracksys`` ('kinovar'), ``acquisition`` and ``run``,
    the tracked points ``imu_names`` (each file's stem), their
    ``placements`` ({name: text}), ``timezone`` (the zone the sensors'
    clocks kept: acq_time then in UTC) and ``resample`` (Hz; a set aligned
    by ``clock='offset'`` needs one grid). The files are the Node
    library's, byte for byte; ``files`` lists the run's own.
    """
    format = _choice(format, "convert", "format", FORMATS + SET_FORMATS + ("bids",))
    if calibrate is None:
        calibrate = "off" if format in ("classic", "csv") else "auto"
    asked = _asked("convert", orientation, calibrate, force, threads)
    if not isinstance(overwrite, bool):
        raise TypeError(f"convert: overwrite must be True or False, not {type(overwrite).__name__}")
    if format == "bids":
        labels = {"subject": subject, "session": session, "task": task, "tracksys": tracksys, "acquisition": acquisition,
                  "run": run, "placements": placements}
        return _bids.convert_bids(path, out, asked, calibrate, overwrite, clock, imu_names, resample, timezone, labels)
    rate = _rate(resample, "convert")
    absolute, offset_at = _time_asked(time, timezone, "convert")
    if rate and format in ("classic", "csv"):
        raise ValueError("convert: the classic CSV keeps its rows; resample the plain CSV, Parquet or OpenSim table "
                         "(format 'plain', 'parquet' or 'opensense')")
    if absolute and format not in ("plain", "parquet"):
        what = "the classic CSV" if format in ("classic", "csv") else "the OpenSim table"
        raise ValueError(f"convert: time 'absolute' adds a datetime column to the plain CSV and Parquet, not to {what}; "
                         "choose format 'plain' or 'parquet'")
    timing = (rate, absolute, offset_at)
    if format in SET_FORMATS or (format in FORMATS and _is_list(path)):
        return _convert_set(path, out, format, imu_names, clock, asked, calibrate != "off", overwrite, timing)
    if imu_names is not None:
        raise ValueError("convert: imu_names names the columns of format='opensense'")
    encoded, target = _path(path, "convert"), _path(out, "convert", "out")
    _check_recording(encoded)
    what = "the Parquet file" if format == "parquet" else "the CSV file"
    _refuse_clash(encoded, target, f"is the recording itself; write {what} elsewhere")
    _refuse_existing(target, overwrite)
    timed = (rate, absolute, _utc_offset(encoded, absolute, offset_at))
    if format == "parquet":
        return _convert_parquet(encoded, target, asked, calibrate, timed)
    answer = _core.convert(encoded, target, asked, format, *timed)
    if answer is None:
        code = "ERR_KINOVAR_OUTPUT_NOT_WRITTEN" if format == "plain" else "ERR_KINOVAR_CSV_NOT_WRITTEN"
        raise KinovarError(f"could not write the CSV file {_display(target)}; check the disk (full, removed, or failing)",
                           code, path=_display(target))
    if isinstance(answer[0], int):
        number, step, where = answer
        raise system_error(number, where, f"write the CSV file ({step})")
    info, quality = json.loads(answer[0]), json.loads(answer[1])
    _require_samples(encoded, quality)
    info["quality"] = quality
    calibration = _calibration(answer[2], calibrate)
    if calibration is not None:
        info["calibration"] = calibration
    return info


def _convert_parquet(encoded, target, asked, calibrate, timed):
    answer = _core.convert_parquet(encoded, target, asked, *timed)
    if len(answer) == 3:
        number, step, where = answer
        raise system_error(number, where, f"write the Parquet file ({step})")
    parsed, info, quality, calibration = answer
    if not parsed:
        raise KinovarError(f"{_display(encoded)}: damaged recording (a data block could not be read); "
                           "kinovar.convert still converts what it holds to CSV", "ERR_KINOVAR_FORMAT", path=_display(encoded))
    info, quality = json.loads(info), json.loads(quality)
    _require_samples(encoded, quality)
    info["quality"] = quality
    calibration = _calibration(calibration, calibrate)
    if calibration is not None:
        info["calibration"] = calibration
    return info


def read_settings(path):
    """The settings of a settings file, or of a recording's settings block, as
    a dict; ``unknownFrames`` carries the records not interpreted, as Base64."""
    encoded = _path(path, "read_settings")
    text = _core.read_settings(encoded)
    if text:
        return json.loads(text)
    try:
        with open(encoded, "rb"):
            pass
    except OSError as error:
        raise from_os_error(error, _display(encoded), "read") from None
    raise KinovarError(f"{_display(encoded)}: holds no settings record", "ERR_KINOVAR_NO_SETTINGS", path=_display(encoded))


def write_settings(path, settings, *, source=None, overwrite=False):
    """Writes a settings file, whole or not at all.

    ``settings`` is a dict shaped as read_settings returns it, or the settings
    text the sensor software takes (entries split by ':', fields by ',':
    ``device,ID,TYPE,LOCATION``, ``accel,RATE,RANGE,...``,
    ``unknownFrames,BASE64``).

    A dict edits an existing settings file: the fields whose values differ
    from the file's change, each in the record (and the form) that holds it,
    and every other byte stays; members left out keep their values. Else it
    makes a new file of the native writer's records. A value no record can
    hold raises KinovarError ERR_KINOVAR_SETTINGS_VALUE (also a ValueError)
    naming the field and what it may be. With ``source`` (a settings file or
    a recording) a dict edits that file's records instead, and the result is
    written to ``path``. A recording is never written; another file that is
    not a settings file is replaced only with ``overwrite=True``."""
    encoded = _path(path, "write_settings")
    if not isinstance(overwrite, bool):
        raise TypeError(f"write_settings: overwrite must be True or False, not {type(overwrite).__name__}")
    origin = None if source is None else _path(source, "write_settings", "source")
    if isinstance(settings, dict):
        _write_settings_dict(encoded, settings, overwrite, origin)
        return
    if origin is not None:
        raise ValueError("write_settings: source edits the records of a file, which takes settings as a dict")
    if not isinstance(settings, str):
        raise TypeError("write_settings: settings must be a dict (as read_settings returns) or the settings text (a str, "
                        f"entries split by ':'), not {type(settings).__name__}")
    if "\0" in settings:
        raise ValueError("write_settings: the settings text holds a NUL character")
    _settings_source(encoded, overwrite)
    _write_config(encoded, settings)


def _write_config(encoded, text):
    if not _core.write_config(encoded, text):
        raise KinovarError(f"the settings file {_display(encoded)} was not written: the text names an unknown record, "
                           "gives too few values or one that is not a 32-bit integer, or makes more than 512 bytes of "
                           "records; or the disk refused it", "ERR_KINOVAR_SETTINGS_NOT_WRITTEN", path=_display(encoded))


_SETTINGS_REFUSALS = {"type": TypeError, "range": ValueError}


def _settings_value(value):
    # numpy's scalars are numbers to a settings file.
    if hasattr(value, "item"):
        return value.item()
    raise TypeError(f"write_settings: a {type(value).__name__} is no settings value; give numbers and str")


def _write_settings_dict(encoded, settings, overwrite, origin):
    source = _settings_source(encoded, overwrite)
    if origin is not None:
        try:
            with open(origin, "rb") as file:
                source = file.read(_BLOCK)
        except OSError as error:
            raise from_os_error(error, _display(origin), "read") from None
    # NaN and the infinities go as the words the core reads, to be refused as the Node library refuses them.
    text = json.dumps(settings, separators=(",", ":"), ensure_ascii=False, default=_settings_value)
    kind, made = _core.settings_write(source, text)
    if kind in _SETTINGS_REFUSALS:
        raise _SETTINGS_REFUSALS[kind](made)
    if kind == "value":
        raise SettingsValueError(made, "ERR_KINOVAR_SETTINGS_VALUE", path=_display(encoded))
    if kind == "text":
        _write_config(encoded, made)
        return
    failure = _core.replace_file(encoded, made)
    if failure is not None:
        number, step, where = failure
        raise system_error(number, where, f"write the settings file ({step})")


def _settings_source(target, overwrite):
    """The bytes of the settings file at target, to be edited; None when a new
    file is to be made. A recording is refused always, another file unless
    overwrite."""
    shown = _display(target)
    kind, size, _ = _existing(target)
    if kind == "folder":
        raise KinovarError(f"{shown} is a folder, not a settings file; give a file name", "EISDIR", path=shown)
    if kind == "recording":
        raise KinovarError(f"{shown} is a recording ({size} bytes: data follow its settings block), not a "
                           "settings file: kinovar never writes settings into a recording. Write them to a new file "
                           "instead.", "ERR_KINOVAR_IS_RECORDING", path=shown)
    if kind == "settings":
        with open(target, "rb") as file:
            return file.read(_BLOCK)
    if kind not in ("missing", "empty", "device") and not overwrite:
        what = "holds no settings record" if kind == "other" else f"is a {kind.upper()} file"
        raise KinovarError(f"{shown} is not a settings file (it {what}): kinovar will not replace it. "
                           "Choose another name, or replace it on purpose with overwrite=True.", "ERR_KINOVAR_NOT_OURS",
                           path=shown)
    return None
