import json

import numpy as np
import pytest

import kinovar
from test_kinovar import codes_of, same

OFFSET, SCALE, BIAS = [0.05, -0.03, 0.02], [1.02, 0.98, 1.01], [1.5, -2, 0.5]


def test_fit_finds_the_generators_calibration_and_equals_node(recordings, node):
    report = kinovar.calibrate(recordings["still"])
    assert report["accel"]["accepted"], report["accel"]["status"]
    assert np.allclose(report["accel"]["offset"], OFFSET, atol=0.002)
    assert np.allclose(report["accel"]["scale"], SCALE, atol=0.002)
    assert np.allclose(report["gyro"]["bias"], BIAS, atol=0.05)
    assert report == node("calibrate", str(recordings["still"]))
    # inspect tells the same fit, and warns of the raw error, as Node's does.
    inspected = kinovar.inspect(recordings["still"])
    assert inspected == node("inspect", str(recordings["still"]))
    assert "warning" in inspected["calibration"]


def test_conversions_calibrate_by_default_as_node_does(recordings, node, tmp_path):
    still = recordings["still"]
    raw = kinovar.load(still, orientation="none", calibrate="off")
    fitted = kinovar.load(still, orientation="none")
    assert raw.calibration is None and fitted.calibration["source"] == "fitted"
    # The samples are the model applied to the raw ones.
    offset, scale = np.array(fitted.calibration["accel"]["offset"]), np.array(fitted.calibration["accel"]["scale"])
    for k, axis in enumerate("xyz"):
        assert np.allclose(fitted.accel[axis], (raw.accel[axis] + offset[k]) * scale[k], rtol=0, atol=1e-12)
    js = node("load", str(still), {"orientation": "none"})
    assert all(same(fitted.streams[n][k], v) for n in js["streams"] for k, v in js["streams"][n].items())
    assert fitted.calibration == js["info"]["calibration"]

    # The plain table is calibrated, the classic CSV stays raw unless asked: Node's bytes either way.
    for name, options, js_options in [("plain", {}, {}), ("classic", {"format": "classic"}, {"format": "classic"}),
                                      ("asked", {"format": "classic", "calibrate": "auto"},
                                       {"format": "classic", "calibrate": "auto"})]:
        info = kinovar.convert(still, tmp_path / f"{name}.csv", orientation="none", **options)
        node("readRecording", str(still), str(tmp_path / f"{name}-node.csv"), {"orientation": "none", **js_options})
        assert (tmp_path / f"{name}.csv").read_bytes() == (tmp_path / f"{name}-node.csv").read_bytes(), name
        assert ("calibration" in info) == (name != "classic")
    assert (tmp_path / "classic.csv").read_bytes() != (tmp_path / "asked.csv").read_bytes()

    table = kinovar.epochs(still, epoch=60)
    assert table.attrs["calibration"]["applied"] and "calibration" not in kinovar.epochs(still, calibrate="off").attrs
    # Calibrated, the still postures read 1 g: ENMO is the noise alone.
    assert table["enmo"].max() < 0.01 < kinovar.epochs(still, epoch=60, calibrate="off")["enmo"].max()


def test_calibration_file_round_trip_and_its_device(recordings, node, tmp_path):
    still, one = recordings["still"], recordings["one"]
    file, theirs = tmp_path / "device.json", tmp_path / "node.json"
    report = kinovar.calibrate(still, out=file)
    node("calibrate", str(still), {"out": str(theirs)})
    # One writer: the same bytes from either library.
    assert file.read_bytes() == theirs.read_bytes()
    assert json.loads(file.read_text()) == {"format": "kinovar calibration 1", **report}
    # A calibration file of ours gives way to another; a file of somebody else's does not.
    kinovar.calibrate(still, out=file)
    theirs.write_text("{}")
    assert codes_of(kinovar.calibrate, still, out=theirs) == "ERR_KINOVAR_NOT_OURS" and theirs.read_text() == "{}"
    assert codes_of(kinovar.calibrate, still, out=still, overwrite=True) == "ERR_KINOVAR_NOT_OURS"

    applied = kinovar.load(still, orientation="none", calibrate=file)
    assert applied.calibration["source"] == "file"
    assert np.array_equal(applied.accel.x, kinovar.load(still, orientation="none").accel.x)
    other = tmp_path / "other.json"
    other.write_text(json.dumps({**report, "deviceId": report["deviceId"] + 1}))
    assert codes_of(kinovar.load, still, calibrate=other) == "ERR_KINOVAR_OTHER_DEVICE"
    assert codes_of(kinovar.convert, still, tmp_path / "x.csv", calibrate=other) == "ERR_KINOVAR_OTHER_DEVICE"
    assert not (tmp_path / "x.csv").exists()
    assert kinovar.epochs(one, calibrate=other, force=True).attrs["calibration"]["source"] == "file"
    assert codes_of(kinovar.load, one, calibrate=tmp_path / "missing.json") == "ERR_KINOVAR_CALIBRATION_FILE"
    (tmp_path / "bad.json").write_text("{}")
    assert codes_of(kinovar.load, one, calibrate=str(tmp_path / "bad.json")) == "ERR_KINOVAR_CALIBRATION_FILE"
    with pytest.raises(ValueError):
        kinovar.load(one, calibrate="")
    with pytest.raises(TypeError):
        kinovar.load(one, calibrate=3)
    with pytest.raises(TypeError):
        kinovar.load(one, force="yes")
