"""A recording, or recordings made together, as a run of a BIDS motion
dataset: the labels checked here, the files written by the core."""
import json

from . import _core
from ._errors import KinovarError, system_error

# In the order the core takes them; (required, default).
_ENTITIES = (("subject", True, None), ("session", False, None), ("task", True, None), ("tracksys", False, "kinovar"),
             ("acquisition", False, None), ("run", False, None))


def _label_error(message):
    return KinovarError(f"convert: {message}", "ERR_KINOVAR_BIDS_LABEL")


def _entities(given):
    """The labels of the run's files, checked; '' for one left out."""
    labels = []
    for key, required, default in _ENTITIES:
        value = given.get(key)
        if value is None:
            value = default
        if value is None:
            if required:
                raise _label_error(f"a BIDS dataset names the {key} of every file: give {key}=<label>, letters and "
                                   "digits only")
            labels.append("")
            continue
        if key == "run" and isinstance(value, int) and not isinstance(value, bool) and value >= 0:
            value = str(value)
        if not isinstance(value, str) or not _core.bids_label_fits(key, value.encode("utf-8", "surrogatepass")):
            wanted = "a whole number (1, 2, ...)" if key == "run" else (
                'letters and digits only (BIDS forbids "-", "_", blanks and any other character in a label, since they '
                "separate the parts of a file name)")
            raise _label_error(f"{key} must be {wanted}, not {value!r}")
        labels.append(value)
    return labels


def _placements(placements, names):
    if placements is None:
        return [""] * len(names)
    if not isinstance(placements, dict):
        raise _label_error('placements must be a dict of a text per tracked point ({"pelvis": "left iliac crest"})')
    for name, text in placements.items():
        if name not in names:
            raise _label_error(f"placements names {name!r}, which is not a tracked point of this set ({', '.join(names)})")
        if not isinstance(text, str) or not _core.bids_placement_fits(text.encode("utf-8", "surrogatepass")):
            raise _label_error(f"the placement of {name} must be a text on one line without tabs, not {text!r}")
    return [placements.get(name, "") for name in names]


def _time(encoded, timezone):
    """Absolute time from the first recording's creation date (none without a real one), and the zone's offset."""
    from . import _created_at, _zone_offsets

    offset_at = None if timezone is None else _zone_offsets(timezone, "convert")
    try:
        created = _created_at(encoded)
    except KinovarError:
        # Without a creation date the rows keep their times and acq_time is n/a.
        return False, None
    return True, None if offset_at is None else _core.wall_time_offset(offset_at, created)


def convert_bids(paths, root, asked, calibrate, overwrite, clock, imu_names, resample, timezone, labels):
    """Writes the run; returns a set's report, or one recording's description, with the run's files."""
    from . import CLOCKS, _calibration, _check_recording, _choice, _display, _imu_names, _path, _rate, _set_error, _set_report

    fn = "convert"
    single = not isinstance(paths, (list, tuple))
    encoded = [_path(p, fn, "each path") for p in ([paths] if single else paths)]
    folder = _path(root, fn, "out")
    clock = _choice(clock, fn, "clock", CLOCKS)
    rate = _rate(resample, fn)
    names = _imu_names(imu_names, encoded, suffix="", holder="a BIDS channel name")
    entities = _entities(labels)
    places = _placements(labels.get("placements"), names)
    for path in encoded if len(encoded) == 1 else []:
        _check_recording(path)
    absolute, utc_offset = _time(encoded[0], timezone)
    answer = _core.write_bids(encoded, folder, names, places, entities, asked, clock, rate, absolute,
                              utc_offset, overwrite)
    if isinstance(answer, tuple):
        number, step, where, action, reading = answer
        raise system_error(number, where, "read" if reading else action or f"write the BIDS dataset ({step})")
    files = [_display(f) for f in answer["files"]]
    if len(encoded) == 1:
        info = json.loads(answer["info"])
        info["quality"] = json.loads(answer["quality"])
        calibration = _calibration(answer["calibration"], calibrate)
        if calibration is not None:
            info["calibration"] = calibration
        info["files"] = files
        return info
    outcome = json.loads(answer["outcome"])
    if outcome["failure"] is not None:
        raise _set_error(outcome, encoded)
    return _set_report(outcome, encoded, files, calibrate != "off", rate)
