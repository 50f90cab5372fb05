import base64
import json
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[2]
GENERATORS = [ROOT / "build" / "addon" / "kinovar-gen", ROOT / "build" / "native" / "kinovar-gen"]


def generator():
    found = next((g for g in GENERATORS if g.exists()), None)
    if found is None:
        pytest.skip("the recording generator is not built (npm run build)")
    return str(found)


@pytest.fixture(scope="session")
def recordings(tmp_path_factory):
    """A short recording with every stream, and a set of two sensors on their own clocks."""
    folder = tmp_path_factory.mktemp("recordings")
    one = folder / "walk.bin"
    subprocess.run([generator(), "--out", str(one), "--seconds", "6", "--baro", "25", "--events", "1", "--rate", "40"],
                   check=True)
    subprocess.run([generator(), "--sync-set", str(folder / "set"), "--method", "marks", "--seconds", "12",
                    "--sensor", "0,0.5,pelvis,40", "--sensor", "-1.25,0.25,thigh,-25"], check=True)
    # Two hours of still postures over the sphere, the sensors off by a known calibration.
    still = folder / "still.bin"
    subprocess.run([generator(), "--out", str(still), "--seconds", "7200", "--accel", "25", "--gyro", "25", "--baro", "0",
                    "--noise", "4", "--postures", "100,3", "--accel-offset", "0.05,-0.03,0.02", "--accel-scale",
                    "1.02,0.98,1.01", "--gyro-bias", "1.5,-2,0.5"], check=True)
    return {"one": one, "set": [folder / "set" / "pelvis.bin", folder / "set" / "thigh.bin"], "still": still,
            "folder": folder}


# What the Node library answers, its arrays as base64 of their bytes so that every bit (NaN too) arrives.
NODE_SCRIPT = r"""
const kinovar = require(process.argv[1]);
const [what, args] = [process.argv[2], JSON.parse(process.argv[3])];
const bytes = (a) => Buffer.from(a.buffer, a.byteOffset, a.byteLength).toString('base64');
const streams = (r) => Object.fromEntries(Object.entries(r.streams).map(([name, s]) =>
  [name, Object.fromEntries(Object.entries(s).map(([k, v]) => [k, bytes(v)]))]));
let answer;
if (what === 'load') {
  const r = kinovar.load(...args);
  answer = { info: r.info, streams: streams(r) };
} else if (what === 'loadSet') {
  const s = kinovar.loadSet(...args);
  answer = { report: s.report, recordings: s.recordings.map((r) => ({ info: r.info, streams: streams(r) })) };
} else if (what === 'sampleTable') {
  // The library's table (internal), its cells as doubles, NaN where a row has no value.
  const { columns } = require(`${process.argv[1]}/data/tables`).sampleTable(kinovar.load(...args));
  answer = Object.fromEntries(columns.map(({ name, values, valid }) =>
    [name, bytes(Float64Array.from(values, (v, r) => (!valid || valid[r >> 3] & (1 << (r & 7)) ? v : NaN)))]));
} else if (what === 'syncReport') {
  answer = kinovar.syncRecordings(...args).report;
} else {
  answer = kinovar[what](...args);
}
process.stdout.write(JSON.stringify(answer));
"""


@pytest.fixture(scope="session")
def node():
    """Calls the Node library: node(function, *arguments) -> its answer, arrays as numpy arrays."""
    if shutil.which("node") is None:
        pytest.skip("node is not installed")

    def call(what, *args):
        out = subprocess.run(["node", "-e", NODE_SCRIPT, str(ROOT / "lib"), what, json.dumps(args)], check=True,
                             capture_output=True, text=True).stdout
        answer = json.loads(out)
        for recording in [answer] if what == "load" else answer.get("recordings", []) if what == "loadSet" else []:
            for stream in recording["streams"].values():
                for key, value in stream.items():
                    stream[key] = np.frombuffer(base64.b64decode(value), dtype=np.float64)
        if what == "sampleTable":
            answer = {name: np.frombuffer(base64.b64decode(value), dtype=np.float64) for name, value in answer.items()}
        return answer

    return call
