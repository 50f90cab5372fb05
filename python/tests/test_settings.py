import json
import math
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest

import kinovar

ROOT = Path(__file__).resolve().parents[2]

# Node's writeSettings on the same file and dict: "" once written, else the error's class, code and message.
NODE_WRITE = r"""
const kinovar = require(process.argv[1]);
const [file, settings, options] = JSON.parse(process.argv[2]);
try {
  kinovar.writeSettings(file, settings, options);
  process.stdout.write('""');
} catch (e) {
  process.stdout.write(JSON.stringify([e instanceof RangeError ? 'value' : e.constructor.name, e.code ?? null, e.message]));
}
"""


def node_write(path, settings, options=None):
    if shutil.which("node") is None:
        pytest.skip("node is not installed")
    out = subprocess.run(["node", "-e", NODE_WRITE, str(ROOT / "lib"), json.dumps([str(path), settings, options or {}])], check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)


def python_write(path, settings, **options):
    try:
        kinovar.write_settings(path, settings, **options)
        return ""
    except ValueError as error:
        return ["value", getattr(error, "code", None), str(error)]


def type_three_file(path):
    """Type-3 sensor records (calibration in steps of 0.0001), a 4-byte firmware number and an unknown record."""
    def record(kind, subtype, payload):
        return b"Q7" + bytes([kind, subtype, len(payload)]) + payload + b"\xff\xfe"

    def sensor(subtype, code, words):
        return record(3, subtype, bytes([17 + subtype, 3, 232, code]) +
                      b"".join(w.to_bytes(4, "big", signed=True) for w in words) + b"\0\0")
    path.write_bytes(record(1, 2, (123).to_bytes(4, "big")) + sensor(2, 3, [-12345, 0, 5, 9995, 10000, 10000]) +
                     record(3, 5, b"\1\2\3") + sensor(3, 1, [7, 0, 0, 10001, 10000, 10000]))
    return path


@pytest.mark.parametrize("settings", [
    {"deviceId": 7, "accel": {"gainX": 1.5, "offsetZ": -0.0001}, "gyro": {"range": 2000}, "minorVersion": 9},
    {"baro": {"frequency": 25}, "radioMode": 1, "deviceType": 2},
    {"accel": {"range": 3}},
    {"version": 10},
    {"gyro": {"gainY": 0.99951}},
    {"createdAt": "2020-01-01 00:00:00"},
    {"unknownFrames": "QQ=="},
    {"deviceId": 1.5, "accel": {"gainX": "1"}},
])
def test_dict_edits_equal_node(tmp_path, settings):
    ours, theirs = type_three_file(tmp_path / "ours.cfg"), type_three_file(tmp_path / "theirs.cfg")
    assert python_write(ours, settings) == node_write(theirs, settings)
    assert ours.read_bytes() == theirs.read_bytes()


def test_new_files_from_dicts_equal_node(tmp_path, recordings):
    # A recording's settings (a 2000 deg/s gyroscope, a 1000 Hz accelerometer) need the newer records.
    for n, settings in enumerate([kinovar.read_settings(recordings["one"]), {"deviceId": -1},
                                  {"baro": {"frequency": 300}}, {"deviceId": 42, "deviceType": 2, "bodyLocation": 7}]):
        ours, theirs = tmp_path / f"ours{n}.cfg", tmp_path / f"theirs{n}.cfg"
        assert python_write(ours, settings) == node_write(theirs, settings), settings
        assert ours.exists() == theirs.exists()
        assert not ours.exists() or ours.read_bytes() == theirs.read_bytes()
    back = kinovar.read_settings(tmp_path / "ours0.cfg")
    assert back["gyro"] == kinovar.read_settings(recordings["one"])["gyro"]
    # A recording's records edited into a new settings file; the recording stays as it was.
    kept = recordings["one"].read_bytes()
    ours, theirs = tmp_path / "edited.cfg", tmp_path / "edited-node.cfg"
    assert python_write(ours, {"deviceId": 5}, source=recordings["one"]) == ""
    assert node_write(theirs, {"deviceId": 5}, {"from": str(recordings["one"])}) == ""
    assert ours.read_bytes() == theirs.read_bytes() and recordings["one"].read_bytes() == kept
    assert kinovar.read_settings(ours)["deviceId"] == 5
    with pytest.raises(ValueError):
        kinovar.write_settings(ours, "device,1,2,3", source=recordings["one"])
    with pytest.raises(kinovar.KinovarError) as raised:
        kinovar.write_settings(ours, {"deviceId": 5}, source=tmp_path / "missing.cfg")
    assert raised.value.code == "ENOENT"


def test_dict_refusals(tmp_path, recordings):
    target = type_three_file(tmp_path / "s.cfg")
    before = target.read_bytes()
    for bad in [{"deviceId": math.nan}, {"accel": {"gainX": math.inf}}, {"frequency": 5}]:
        with pytest.raises(kinovar.KinovarError) as raised:
            kinovar.write_settings(target, bad)
        assert raised.value.code == "ERR_KINOVAR_SETTINGS_VALUE" and isinstance(raised.value, ValueError)
    with pytest.raises(TypeError):
        kinovar.write_settings(target, {"deviceId": object()})
    assert target.read_bytes() == before, "a refused edit writes nothing"
    kinovar.write_settings(target, {"deviceId": np.int64(9)})
    assert kinovar.read_settings(target)["deviceId"] == 9

    recording = recordings["one"]
    kept = recording.read_bytes()
    for overwrite in [False, True]:
        with pytest.raises(kinovar.KinovarError) as raised:
            kinovar.write_settings(recording, {"deviceId": 1}, overwrite=overwrite)
        assert raised.value.code == "ERR_KINOVAR_IS_RECORDING"
    assert recording.read_bytes() == kept
    other = tmp_path / "notes.txt"
    other.write_text("not settings")
    with pytest.raises(kinovar.KinovarError) as raised:
        kinovar.write_settings(other, {"deviceId": 1})
    assert raised.value.code == "ERR_KINOVAR_NOT_OURS"
    kinovar.write_settings(other, {"deviceId": 1, "deviceType": 2, "bodyLocation": 3}, overwrite=True)
    assert kinovar.read_settings(other)["bodyLocation"] == 3
