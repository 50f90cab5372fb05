import base64
import os
import subprocess
import threading
import warnings

import numpy as np
import pytest

import kinovar
from conftest import generator


def same(a, b):
    """Equal bit for bit, NaN included."""
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


@pytest.mark.parametrize("options", [{}, {"orientation": "classic", "threads": 1},
                                     {"start": 1.5, "stop": 4, "streams": ["gyro", "orientation"]}])
def test_load_equals_node(recordings, node, options):
    r = kinovar.load(recordings["one"], **options)
    js_options = {"orientation": options.get("orientation", "accurate"), "threads": options.get("threads", 2)}
    if "start" in options:
        js_options.update({"from": options["start"], "to": options["stop"], "streams": options["streams"]})
    js = node("load", str(recordings["one"]), js_options)
    assert sorted(r.streams) == sorted(js["streams"])
    for name, stream in r.streams.items():
        for key, values in js["streams"][name].items():
            assert same(stream[key], values), (name, key)
    assert {**r.info, "quality": r.quality, "calibration": r.calibration} == js["info"]
    if "start" in options:
        assert r.gyro.time[0] >= 1.5 and r.gyro.time[-1] < 4


def test_arrays_are_views_of_the_cores_memory(recordings):
    r = kinovar.load(recordings["one"])
    x, y, z = r.accel.x, r.accel.y, r.accel.z
    # One block per stream, owned by a capsule: numpy never copied it.
    assert type(x.base).__name__ == "PyCapsule" and x.base is y.base is z.base
    assert y.__array_interface__["data"][0] - x.__array_interface__["data"][0] == len(x) * 8
    assert not np.shares_memory(x, y) and r.accel.time.base is not x.base
    del r, y, z
    assert np.isfinite(x).all()  # the capsule keeps the block alive after the recording goes


def test_threads_load_what_one_thread_loads(recordings):
    serial = [kinovar.load(p) for p in recordings["set"] * 2]
    results = [None] * 4

    def work(i):
        results[i] = kinovar.load(recordings["set"][i % 2])

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for a, b in zip(serial, results):
        assert all(same(a.streams[n][c], b.streams[n][c]) for n in a.streams for c in ["time", *a.streams[n].channels])


def test_load_set_equals_node(recordings, node):
    paths = [str(p) for p in recordings["set"]]
    for clock in ["drift", "offset"]:
        s = kinovar.load_set(recordings["set"], clock=clock)
        js = node("loadSet", paths, {"clock": clock})
        assert {k: v for k, v in js["report"].items() if k != "files"} == s.report
        for r, j in zip(s, js["recordings"]):
            assert all(same(r.streams[n][k], v) for n in j["streams"] for k, v in j["streams"][n].items())
        # One instant, one time: the window starts at 0 in every recording.
        assert min(r.accel.time[0] for r in s) == pytest.approx(0, abs=0.02)


@pytest.mark.parametrize("format", [None, "classic", "csv", "parquet"])
def test_convert_writes_nodes_bytes(recordings, node, tmp_path, format):
    ours, theirs = tmp_path / f"ours-{format}.csv", tmp_path / f"node-{format}.csv"
    info = kinovar.convert(recordings["one"], ours, **({"format": format} if format else {}))
    node("readRecording", str(recordings["one"]), str(theirs), {"format": format} if format else {})
    assert ours.read_bytes() == theirs.read_bytes()
    assert info["quality"]["streams"]["accel"]["samples"] == 600
    # An output of ours gives way to another unasked; any other file only to overwrite=True.
    kinovar.convert(recordings["one"], ours, orientation="none")
    assert b"quat" not in ours.read_bytes()[:400]
    foreign = tmp_path / f"notes-{format}.csv"
    foreign.write_text("time,notes\n")
    assert codes_of(kinovar.convert, recordings["one"], foreign) == "ERR_KINOVAR_NOT_OURS"
    assert foreign.read_text() == "time,notes\n"
    kinovar.convert(recordings["one"], foreign, overwrite=True, **({"format": format} if format else {}))
    assert foreign.read_bytes() == theirs.read_bytes()


@pytest.mark.parametrize("format", ["plain", "classic", "parquet"])
def test_convert_set_writes_nodes_bytes(recordings, node, tmp_path, format):
    ours, theirs = tmp_path / "ours", tmp_path / "node"
    paths = [str(p) for p in recordings["set"]]
    ext = ".parquet" if format == "parquet" else ".csv"
    for clock in ("drift", "offset"):
        report = kinovar.convert(recordings["set"], ours, format=format, clock=clock, overwrite=True)
        theirs_report = node("syncReport", paths, str(theirs), {"format": format, "clock": clock, "overwrite": True})
        assert {**report, "files": None} == {**theirs_report, "files": None}
        files = ["pelvis" + ext, "thigh" + ext] + (["set.json"] if format == "plain" else [])
        assert sorted(os.listdir(ours)) == sorted(os.listdir(theirs)) == sorted(files)
        for file in files:
            assert (ours / file).read_bytes() == (theirs / file).read_bytes()
        assert report["method"] == "time-marks" and report["files"] == [str(ours / ("pelvis" + ext)), str(ours / ("thigh" + ext))]
        assert ("calibration" in report) == (format != "classic")
    (ours / files[0]).write_text("kept")
    assert codes_of(kinovar.convert, recordings["set"], ours, format=format) == "ERR_KINOVAR_NOT_OURS"
    assert (ours / files[0]).read_text() == "kept"
    # Two recordings whose files would have one name: refused after the sync, nothing written, no folder left.
    other = tmp_path / "other"
    other.mkdir()
    (other / "pelvis.bin").write_bytes(recordings["set"][1].read_bytes())
    fresh = tmp_path / "fresh"
    with pytest.raises(kinovar.KinovarError) as refused:
        kinovar.convert([recordings["set"][0], other / "pelvis.bin"], fresh, format=format)
    code = "ERR_KINOVAR_CSV_NOT_WRITTEN" if format == "classic" else "ERR_KINOVAR_OUTPUT_NOT_WRITTEN"
    assert refused.value.code == code and refused.value.cause["reason"] == "same-name" and not fresh.exists()
    with pytest.raises(ValueError):
        kinovar.convert(recordings["set"], fresh, format=format, imu_names=["a", "b"])


@pytest.mark.parametrize("format,options", [
    ("plain", {"time": "absolute", "timezone": "Europe/Paris", "resample": 50}),
    ("parquet", {"time": "absolute", "resample": 30.5}),
    ("parquet", {"time": "absolute", "timezone": "America/New_York"}),
])
def test_convert_with_time_and_grid_writes_nodes_bytes(recordings, node, tmp_path, format, options):
    ours, theirs = tmp_path / "ours", tmp_path / "node"
    kinovar.convert(recordings["one"], ours, format=format, **options)
    node("readRecording", str(recordings["one"]), str(theirs), {"format": format, **options})
    assert ours.read_bytes() == theirs.read_bytes()
    assert b"datetime" in ours.read_bytes()


@pytest.mark.parametrize("format,options", [
    ("plain", {"time": "absolute", "timezone": "Europe/Paris", "resample": 50, "clock": "drift"}),
    ("plain", {"resample": 25, "clock": "offset"}),
    ("opensense", {"resample": 60, "clock": "drift"}),
    ("parquet", {"time": "absolute", "timezone": "Asia/Kolkata", "resample": 40, "clock": "drift"}),
])
def test_convert_set_with_time_and_grid_writes_nodes_bytes(recordings, node, tmp_path, format, options):
    ours, theirs = tmp_path / "ours", tmp_path / "node"
    paths = [str(p) for p in recordings["set"]]
    report = kinovar.convert(recordings["set"], ours, format=format, **options)
    theirs_report = node("syncReport", paths, str(theirs), {"format": format, **options})
    assert {**report, "files": None} == {**theirs_report, "files": None}
    assert report["resample"]["rate"] == options["resample"]
    assert sorted(os.listdir(ours)) == sorted(os.listdir(theirs))
    for file in os.listdir(ours):
        assert (ours / file).read_bytes() == (theirs / file).read_bytes(), file


def test_a_creation_time_a_clock_change_skips_or_repeats_is_warned_of(recordings, node, tmp_path):
    bytes_ = bytearray(recordings["one"].read_bytes())
    at = bytes_.index(b"Q7\x03\x00")
    for name, when, zone, warned in [("skipped", [0, 30, 2, 26, 3], "Europe/Paris", "does not exist"),
                                      ("twice", [0, 30, 2, 29, 10], "Europe/Paris", "occurs twice"),
                                      ("utc", [0, 30, 2, 29, 10], "UTC", None)]:
        bytes_[at + 5:at + 10] = bytes(when)
        dated = tmp_path / f"{name}.bin"
        dated.write_bytes(bytes_)
        ours, theirs = tmp_path / f"{name}.csv", tmp_path / f"{name}-node.csv"
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            kinovar.convert(dated, ours, time="absolute", timezone=zone)
        messages = [str(w.message) for w in caught if issubclass(w.category, kinovar.LocalTimeWarning)]
        assert len(messages) == (1 if warned else 0) and (not warned or warned in messages[0]), messages
        node("readRecording", str(dated), str(theirs), {"time": "absolute", "timezone": zone})
        assert ours.read_bytes() == theirs.read_bytes()


def test_convert_refuses_time_and_grid_a_format_cannot_hold(recordings, tmp_path):
    out = tmp_path / "out"
    refusals = [
        (ValueError, recordings["one"], {"format": "classic", "resample": 50}),
        (ValueError, recordings["set"], {"format": "csv", "resample": 50}),
        (ValueError, recordings["one"], {"format": "classic", "time": "absolute"}),
        (ValueError, recordings["set"], {"format": "opensense", "time": "absolute"}),
        (ValueError, recordings["one"], {"timezone": "Europe/Paris"}),
        (ValueError, recordings["one"], {"time": "absolute", "timezone": "Mars/Olympus"}),
        (ValueError, recordings["one"], {"time": "wall"}),
        (ValueError, recordings["one"], {"resample": 0}),
        (ValueError, recordings["set"], {"format": "opensense", "resample": 200000}),
        (TypeError, recordings["one"], {"resample": "50"}),
        (TypeError, recordings["one"], {"resample": True}),
    ]
    for error, path, options in refusals:
        with pytest.raises(error):
            kinovar.convert(path, out, **options)
        assert not out.exists(), options
    # Absolute time stands on the creation date: a recording without one is refused, not given 1970.
    undated = tmp_path / "undated.bin"
    subprocess.run([generator(), "--out", str(undated), "--seconds", "2", "--created", "0000-00-00 00:00:00"], check=True)
    assert codes_of(kinovar.convert, undated, out, time="absolute") == "ERR_KINOVAR_FORMAT" and not out.exists()


def test_convert_set_to_opensim_writes_nodes_bytes(recordings, node, tmp_path):
    ours, theirs = tmp_path / "ours", tmp_path / "node"
    paths = [str(p) for p in recordings["set"]]
    for clock, names in [("drift", None), ("offset", ["pelvis", "femur_r"])]:
        report = kinovar.convert(recordings["set"], ours, format="opensense", clock=clock, imu_names=names, overwrite=True)
        node("syncRecordings", paths, str(theirs), {"format": "opensense", "clock": clock, "imuNames": names, "overwrite": True})
        for name in ("orientations.sto", "set.json"):
            assert (ours / name).read_bytes() == (theirs / name).read_bytes(), name
        assert report["method"] == "time-marks" and report["files"] == [str(ours / "orientations.sto")]
    assert b"\ntime\tpelvis\tfemur_r\n" in (ours / "orientations.sto").read_bytes()
    kinovar.convert(recordings["set"], ours, format="opensense", overwrite=True)
    assert b"\ntime\tpelvis_imu\tthigh_imu\n" in (ours / "orientations.sto").read_bytes()
    # Refused before anything is written; a folder made for a refused set goes again.
    (ours / "set.json").write_text("{}")
    assert codes_of(kinovar.convert, recordings["set"], ours, format="opensense") == "ERR_KINOVAR_NOT_OURS"
    fresh = tmp_path / "fresh"
    with pytest.raises(kinovar.KinovarError) as refused:
        kinovar.convert(recordings["set"], fresh, format="opensense", orientation="none")
    assert refused.value.code == "ERR_KINOVAR_NO_ORIENTATION" and refused.value.path == paths[0] and not fresh.exists()
    for names, error in [(["a"], ValueError), (["a b", "c"], ValueError), (["a", "a"], ValueError), ("ab", TypeError)]:
        with pytest.raises(error):
            kinovar.convert(recordings["set"], fresh, format="opensense", imu_names=names)
    with pytest.raises(TypeError):
        kinovar.convert(paths[0], fresh, format="opensense")
    with pytest.raises(ValueError):
        kinovar.convert(paths[0], fresh / "x.csv", imu_names=["a"])


def test_epochs_equal_node_and_a_plain_computation(recordings, node, tmp_path):
    pd = pytest.importorskip("pandas")
    accel = kinovar.load(recordings["one"], orientation="none").accel
    table = kinovar.epochs(recordings["one"], epoch=1.5)
    assert list(table.index) == [0, 1.5, 3, 4.5] and table.attrs["units"]["enmo"] == "g"
    for start, row in table.iterrows():
        inside = (accel.time >= start) & (accel.time < start + 1.5)
        x, y, z = accel.x[inside], accel.y[inside], accel.z[inside]
        norm = np.sqrt(x * x + y * y + z * z)
        assert row["samples"] == inside.sum() == 150
        assert row["enmo"] == pytest.approx(np.maximum(norm - 1, 0).mean(), abs=1e-12)
        assert row["mad"] == pytest.approx(np.abs(norm - norm.mean()).mean(), abs=1e-12)
        assert row["anglez"] == pytest.approx(np.degrees(np.arctan2(z, np.hypot(x, y))).mean(), abs=1e-9)
        assert row["accel_x_sd"] == pytest.approx(x.std(ddof=1), abs=1e-12)
    # Node's file holds the same rows, to the digits it prints.
    node("epochs", str(recordings["one"]), str(tmp_path / "node.csv"), {"epoch": 1.5})
    written = pd.read_csv(tmp_path / "node.csv", index_col="time")
    assert list(written.columns) == list(table.columns)
    for name in table.columns:
        assert np.allclose(written[name].to_numpy(float), table[name].to_numpy(float), rtol=0, atol=1e-4, equal_nan=True)
    assert str(table["samples"].dtype) == "Int64" and table.attrs["summary"]["epochs"] == 4
    absolute = kinovar.epochs(recordings["one"], epoch=60, time="absolute", nonwear=False)
    # Whole clock minutes: the first epoch starts before the first sample.
    assert absolute.index[0].second == 0 and absolute["time"].iloc[0] <= 0
    assert absolute["samples"].sum() == len(accel)


def test_to_pandas(recordings):
    pytest.importorskip("pandas")
    r = kinovar.load(recordings["one"])
    frames = r.to_pandas()
    assert list(frames) == list(r.streams)
    assert np.array_equal(frames["accel"]["z"].to_numpy(), r.accel.z)
    assert np.array_equal(frames["accel"].index.to_numpy(), r.accel.time)
    table = r.to_pandas(how="outer", datetime=True)
    times = np.unique(np.concatenate([s.time for s in r.streams.values()]))
    assert np.array_equal(table["time"].to_numpy(), times)
    assert str(table.index[0]) == r.info["createdAt"]
    assert str(table["event"].dtype) == "Int32" and table["event"].notna().sum() == len(r.events)
    # Rows only the events have hold nothing else: no value is invented.
    only_events = table[~np.isin(table["time"], r.accel.time)]
    assert len(only_events) == len(r.events) and only_events["accel_x"].isna().all()


def test_outer_table_holds_the_rows_of_every_table(recordings, node, tmp_path):
    pd = pytest.importorskip("pandas")
    # Gyroscope at half the accelerometer's rate; the barometer and events mostly on instants of their own.
    mixed, even = tmp_path / "mixed.bin", tmp_path / "even.bin"
    subprocess.run([generator(), "--out", str(mixed), "--seconds", "5", "--accel", "100", "--gyro", "50", "--baro", "13",
                    "--events", "3", "--clock", "1000"], check=True)
    subprocess.run([generator(), "--out", str(even), "--seconds", "5", "--accel", "100", "--gyro", "100", "--baro", "13",
                    "--events", "3", "--clock", "1000"], check=True)
    names = {"baro": {"pressure": "pressure", "temperature": "temperature"}, "events": {"value": "event"},
             "orientation": {c: f"quat_{c}" for c in "wxyz"}}
    loaded = [kinovar.load(mixed), kinovar.load(even), *kinovar.load_set(recordings["set"])]
    for r in loaded:
        table = r.to_pandas(how="outer")
        # pandas' own outer join of the streams' frames: a cell only on its own instant.
        frames = [f.rename(columns=names.get(s, {c: f"{s}_{c}" for c in f.columns})) for s, f in r.to_pandas().items()]
        joined = pd.concat(frames, axis=1, join="outer", sort=True)[table.columns]
        pd.testing.assert_frame_equal(table, joined, check_exact=True, check_names=False)
        assert table.index.name == "time" and ("event" not in table or table["event"].dtype == "Int32")
    assert list(loaded[1].to_pandas(how="outer").columns) == ["gyro_x", "gyro_y", "gyro_z", "accel_x", "accel_y",
                                                              "accel_z", "pressure", "temperature", "event", "quat_w",
                                                              "quat_x", "quat_y", "quat_z"]
    for path in (mixed, even):
        table = kinovar.load(path).to_pandas(how="outer")
        theirs = node("sampleTable", str(path))
        assert list(theirs) == ["time", *table.columns]
        assert np.array_equal(theirs["time"], table.index.to_numpy())
        for name in table.columns:
            assert np.array_equal(theirs[name], table[name].to_numpy(float, na_value=np.nan), equal_nan=True)
        kinovar.convert(path, tmp_path / "plain.csv", format="plain", overwrite=True)
        written = pd.read_csv(tmp_path / "plain.csv", index_col="time")
        assert np.array_equal(written.index.to_numpy(), table.index.to_numpy())
        for name in table.columns:  # to the digits it prints: a tenth of a degree at the coarsest
            assert np.allclose(written[name], table[name].to_numpy(float, na_value=np.nan), rtol=0, atol=0.05 + 1e-9,
                               equal_nan=True)


def test_unicode_paths_and_settings(tmp_path, recordings):
    folder = tmp_path / "Ünïcødé 測試 🎉"
    folder.mkdir()
    recording = folder / "rëcording ñ.bin"
    recording.write_bytes(recordings["one"].read_bytes())
    assert len(kinovar.load(str(recording)).accel) == 600
    assert kinovar.inspect(recording)["streams"]["gyro"]["samples"] == 600
    kinovar.convert(recording, folder / "ödë.csv")
    assert (folder / "ödë.csv").stat().st_size > 0
    settings = folder / "séttings.bin"
    kinovar.write_settings(settings, "device,42,2,7:accel,100,8,1,2,3,4,5,6:radio,1,9")
    read = kinovar.read_settings(settings)
    assert (read["deviceId"], read["bodyLocation"], read["radioChannel"]) == (42, 7, 9)
    assert (read["accel"]["frequency"], read["accel"]["gainZ"]) == (100, 6)
    assert kinovar.read_settings(recording)["deviceId"] == 1234


def test_read_settings_equals_node(tmp_path, recordings, node):
    # A type-3 record keeps calibration in steps of 0.0001: gain 0.9995, offset -1.25.
    words = [-12500, 0, 0, 9995, 10000, 10000]
    payload = bytes([19, 0, 100, 1]) + b"".join(w.to_bytes(4, "big", signed=True) for w in words) + b"\0\0"
    record = b"Q7" + bytes([3, 2, len(payload)]) + payload + b"\xff\xfe"
    settings = tmp_path / "exact.bin"
    kinovar.write_settings(settings, "unknownFrames," + base64.b64encode(record).decode())
    read = kinovar.read_settings(settings)
    assert (read["accel"]["gainX"], read["accel"]["offsetX"], read["accel"]["range"]) == (0.9995, -1.25, 16)
    for path in [settings, recordings["one"]]:
        assert kinovar.read_settings(path) == node("readSettings", str(path))


def codes_of(call, *args, **kwargs):
    with pytest.raises(kinovar.KinovarError) as raised:
        call(*args, **kwargs)
    assert str(raised.value)  # every failure says what happened
    return raised.value.code


def test_errors(tmp_path, recordings):
    one = recordings["one"]
    missing, junk, settings = tmp_path / "missing.bin", tmp_path / "junk.bin", tmp_path / "settings.bin"
    junk.write_bytes(b"not a recording" * 100)
    kinovar.write_settings(settings, "device,1,2,3")
    for call in [kinovar.load, kinovar.inspect, lambda p: kinovar.convert(p, tmp_path / "x.csv")]:
        assert codes_of(call, missing) == "ENOENT"
        assert codes_of(call, junk) == "ERR_KINOVAR_FORMAT"
    assert codes_of(kinovar.load, settings) == "ERR_KINOVAR_NO_SAMPLES"
    assert codes_of(kinovar.convert, settings, tmp_path / "s.csv") == "ERR_KINOVAR_NO_SAMPLES"
    assert not (tmp_path / "s.csv").exists()
    assert codes_of(kinovar.convert, one, one, overwrite=True) == "ERR_KINOVAR_NOT_OURS"
    assert codes_of(kinovar.read_settings, junk) == "ERR_KINOVAR_NO_SETTINGS"
    assert codes_of(kinovar.read_settings, missing) == "ENOENT"
    assert codes_of(kinovar.write_settings, tmp_path / "bad.bin", "nonsense,1") == "ERR_KINOVAR_SETTINGS_NOT_WRITTEN"
    assert codes_of(kinovar.write_settings, junk, "device,1,2,3") == "ERR_KINOVAR_NOT_OURS"
    assert junk.read_bytes().startswith(b"not a recording")
    no_accel = tmp_path / "gyro-only.bin"
    subprocess.run([generator(), "--out", str(no_accel), "--seconds", "2", "--accel", "0"], check=True)
    assert codes_of(kinovar.epochs, settings) == "ERR_KINOVAR_NO_SAMPLES"
    assert codes_of(kinovar.epochs, no_accel) == "ERR_KINOVAR_NO_ACCELEROMETER"
    assert codes_of(kinovar.load_set, [one]) == "ERR_KINOVAR_NOT_SYNCHRONISABLE"
    error = pytest.raises(kinovar.KinovarError, kinovar.load_set, [recordings["set"][0], missing]).value
    assert error.code == "ERR_KINOVAR_UNREADABLE" and error.cause[0]["path"] == str(missing)


@pytest.mark.parametrize("call, error", [
    (lambda p: kinovar.load(3), TypeError),
    (lambda p: kinovar.load(p, orientation=1), TypeError),
    (lambda p: kinovar.load(p, start="1"), TypeError),
    (lambda p: kinovar.load(p, start=True), TypeError),
    (lambda p: kinovar.load(p, streams="accel"), TypeError),
    (lambda p: kinovar.load(p, threads=1.5), TypeError),
    (lambda p: kinovar.load(p, threads=0), ValueError),
    (lambda p: kinovar.load_set("a.bin"), TypeError),
    (lambda p: kinovar.write_settings("x.bin", [("deviceId", 1)]), TypeError),
    (lambda p: kinovar.convert(p, "x.csv", overwrite="yes"), TypeError),
    (lambda p: kinovar.load(p, orientation="best"), ValueError),
    (lambda p: kinovar.load(p, start=3, stop=1), ValueError),
    (lambda p: kinovar.load(p, stop=float("nan")), ValueError),
    (lambda p: kinovar.load(p, streams=["accel", "magnetometer"]), ValueError),
    (lambda p: kinovar.load("a\0b.bin"), ValueError),
    (lambda p: kinovar.load_set([p, p], clock="exact"), ValueError),
    (lambda p: kinovar.convert(p, "x.xlsx", format="xlsx"), ValueError),
    (lambda p: kinovar.load(p).to_pandas(how="inner"), ValueError),
    (lambda p: kinovar.epochs(p, epoch="5"), TypeError),
    (lambda p: kinovar.epochs(p, epoch=0), ValueError),
    (lambda p: kinovar.epochs(p, epoch=3601), ValueError),
    (lambda p: kinovar.epochs(p, nonwear_window_minutes=1.5), TypeError),
    (lambda p: kinovar.epochs(p, nonwear_sd_mg=-1), ValueError),
])
def test_wrong_arguments(recordings, call, error):
    with pytest.raises(error):
        call(recordings["one"])
    assert not os.path.exists("x.csv")


def test_local_days_across_a_clock_change_equal_node(tmp_path, node):
    pd = pytest.importorskip("pandas")
    # Made on 2017-03-21 at 14:05:09; Paris moved its clocks on the 26th.
    week = tmp_path / "week.bin"
    subprocess.run([generator(), "--out", str(week), "--seconds", str(6 * 86400), "--accel", "3", "--gyro", "0", "--baro", "0",
                    "--scenario", f"active:{3 * 86400},nonwear:{3 * 86400}"], check=True)
    for zone in ["Europe/Paris", None]:
        options = {"time": "absolute", "timezone": zone} if zone else {}
        table = kinovar.epochs(week, epoch=60, days=True, **options)
        node("epochs", str(week), str(tmp_path / "e.csv"), {"epoch": 60, "days": str(tmp_path / "d.csv"), **options})
        days, theirs = table.attrs["days"], pd.read_csv(tmp_path / "d.csv", index_col="time")
        assert list(days.columns) == list(theirs.columns)
        assert np.allclose(days.index, theirs.index, rtol=0, atol=1e-6)
        for name in days.columns:
            if name == "date":
                assert list(days[name].fillna("")) == list(theirs[name].fillna(""))
            else:
                assert np.allclose(days[name].to_numpy(float), theirs[name].to_numpy(float), rtol=0, atol=1e-6, equal_nan=True)
        if zone:
            assert days.loc[days["date"] == "2017-03-26", "hours"].item() == 23
            assert "".join(map(str, days["valid"])) == "0110000" and table.attrs["summary"]["validDays"] == 2
            # The epochs stand at whole minutes of the wall clock, in UTC, as Node's datetime column.
            assert str(table.index[0]) == "2017-03-21 13:05:00+00:00"
            assert pd.read_csv(tmp_path / "e.csv")["datetime"][0] == "2017-03-21T13:05:00.000000Z"
        else:
            assert list(days["hours"]) == [24] * 6
    with pytest.raises(ValueError):
        kinovar.epochs(week, epoch=7, days=True)
    with pytest.raises(ValueError):
        kinovar.epochs(week, timezone="Europe/Paris")
    with pytest.raises(ValueError):
        kinovar.epochs(week, time="absolute", timezone="Mars/Olympus")


def _tree(root):
    return {str(p.relative_to(root)): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()}


def test_convert_to_bids_writes_nodes_bytes(recordings, node, tmp_path):
    ours, theirs = tmp_path / "ours", tmp_path / "node"
    paths = [str(p) for p in recordings["set"]]
    one = kinovar.convert(recordings["one"], ours, format="bids", subject="01", task="walk", session="1",
                          timezone="Europe/Paris")
    node("readRecording", str(recordings["one"]), str(theirs),
         {"format": "bids", "subject": "01", "task": "walk", "session": "1", "timezone": "Europe/Paris"})
    report = kinovar.convert(recordings["set"], ours, format="bids", subject="02", task="walk", run=2,
                             placements={"thigh": "right thigh"}, clock="offset", resample=50)
    answer = node("syncReport", paths, str(theirs), {"format": "bids", "subject": "02", "task": "walk", "run": 2,
                                                         "placements": {"thigh": "right thigh"}, "clock": "offset",
                                                         "resample": 50})
    # The same report but for where the files are.
    assert {k: v for k, v in report.items() if k != "files"} == {k: v for k, v in answer.items() if k != "files"}
    kinovar.convert(recordings["set"], ours, format="bids", subject="02", task="walk", run=2, overwrite=True)
    node("syncRecordings", paths, str(theirs), {"format": "bids", "subject": "02", "task": "walk", "run": 2,
                                                "overwrite": True})
    assert _tree(ours) == _tree(theirs) and len(_tree(ours)) == 16
    assert one["files"][0].endswith("sub-01_ses-1_task-walk_tracksys-kinovar_motion.tsv") and one["quality"]["streams"]
    assert report["method"] == "time-marks" and len(report["files"]) == 6
    # Refused before anything is written: labels, the run already there, a set without one grid.
    before = _tree(ours)
    for labels, error in [({"task": "walk"}, "ERR_KINOVAR_BIDS_LABEL"), ({"subject": "a_b", "task": "walk"},
                          "ERR_KINOVAR_BIDS_LABEL"), ({"subject": "a\udc80", "task": "walk"}, "ERR_KINOVAR_BIDS_LABEL"),
                          ({"subject": "01", "task": "walk", "run": "1a"}, "ERR_KINOVAR_BIDS_LABEL"), ({"subject": "01", "task": "walk", "session": "1"},
                          "ERR_KINOVAR_BIDS_EXISTS")]:
        assert codes_of(kinovar.convert, recordings["one"], ours, format="bids", **labels) == error
    assert codes_of(kinovar.convert, recordings["set"], ours, format="bids", subject="03", task="t",
                    clock="offset") == "ERR_KINOVAR_NO_GRID"
    assert codes_of(kinovar.convert, recordings["one"], recordings["one"], format="bids", subject="1",
                    task="t") == "ERR_KINOVAR_NOT_BIDS"
    assert _tree(ours) == before
