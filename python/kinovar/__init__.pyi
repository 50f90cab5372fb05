import os
from typing import Any, Iterable, Iterator, Literal, Mapping, Optional, Sequence, Union, overload

import numpy as np
import numpy.typing as npt
import pandas

PathLike = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]
Orientation = Literal["classic", "accurate", "none"]
StreamName = Literal["accel", "gyro", "baro", "events", "orientation"]
Array = npt.NDArray[np.float64]
# 'auto', 'off' or a calibration file's path.
Calibrate = Union[Literal["auto", "off"], PathLike]

ORIENTATIONS: tuple[str, ...]
CLOCKS: tuple[str, ...]
FORMATS: tuple[str, ...]
STREAMS: tuple[str, ...]

class KinovarError(Exception):
    code: str
    def __init__(self, message: str, code: str, **details: Any) -> None: ...

class LocalTimeWarning(UserWarning): ...

class Stream:
    name: str
    rate: int
    time: Array
    channels: dict[str, Array]
    def __getattr__(self, channel: str) -> Array: ...
    def __getitem__(self, channel: str) -> Array: ...
    def __len__(self) -> int: ...

class Recording:
    path: Optional[PathLike]
    info: dict[str, Any]
    quality: dict[str, Any]
    time_base: float
    calibration: Optional[dict[str, Any]]
    streams: dict[str, Stream]
    def __getattr__(self, name: str) -> Stream: ...
    @overload
    def to_pandas(self, how: None = None, datetime: bool = False) -> dict[str, pandas.DataFrame]: ...
    @overload
    def to_pandas(self, how: Literal["outer"], datetime: bool = False) -> pandas.DataFrame: ...

class RecordingSet:
    recordings: list[Recording]
    report: dict[str, Any]
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[Recording]: ...
    def __getitem__(self, index: int) -> Recording: ...
    @overload
    def to_pandas(self, how: None = None, datetime: bool = False) -> list[dict[str, pandas.DataFrame]]: ...
    @overload
    def to_pandas(self, how: Literal["outer"], datetime: bool = False) -> list[pandas.DataFrame]: ...

def load(path: PathLike, *, start: Optional[float] = None, stop: Optional[float] = None,
         streams: Optional[Iterable[StreamName]] = None, orientation: Orientation = "accurate",
         calibrate: Calibrate = "auto", force: bool = False, threads: Optional[int] = None) -> Recording: ...
def load_set(paths: Iterable[PathLike], *, clock: Literal["drift", "offset"] = "drift", start: Optional[float] = None,
             stop: Optional[float] = None, streams: Optional[Iterable[StreamName]] = None,
             orientation: Orientation = "accurate", calibrate: Calibrate = "auto", force: bool = False,
             threads: Optional[int] = None) -> RecordingSet: ...
def epochs(path: PathLike, *, epoch: float = 5, nonwear: bool = True, nonwear_sd_mg: Optional[float] = None,
           nonwear_range_mg: Optional[float] = None, nonwear_window_minutes: Optional[int] = None,
           time: Literal["relative", "absolute"] = "relative", timezone: Optional[str] = None, days: bool = False,
           valid_hours: float = 16, calibrate: Calibrate = "auto", force: bool = False,
           threads: Optional[int] = None) -> pandas.DataFrame: ...
def calibrate(path: PathLike, *, out: Optional[PathLike] = None, overwrite: bool = False) -> dict[str, Any]: ...
def inspect(path: PathLike) -> dict[str, Any]: ...
@overload
def convert(path: PathLike, out: PathLike, *, format: Literal["plain", "classic", "csv", "parquet"] = "plain",
            orientation: Orientation = "accurate", calibrate: Optional[Calibrate] = None, force: bool = False,
            overwrite: bool = False, threads: Optional[int] = None, time: Literal["relative", "absolute"] = "relative",
            timezone: Optional[str] = None, resample: Optional[float] = None) -> dict[str, Any]: ...
@overload
def convert(path: Sequence[PathLike], out: PathLike, *, format: Literal["opensense", "plain", "classic", "csv", "parquet"],
            orientation: Orientation = "accurate", calibrate: Optional[Calibrate] = None, force: bool = False,
            overwrite: bool = False, threads: Optional[int] = None, imu_names: Optional[Sequence[str]] = None,
            clock: Literal["drift", "offset"] = "drift", time: Literal["relative", "absolute"] = "relative",
            timezone: Optional[str] = None, resample: Optional[float] = None) -> dict[str, Any]: ...
@overload
def convert(path: Union[PathLike, Sequence[PathLike]], out: PathLike, *, format: Literal["bids"],
            orientation: Orientation = "accurate", calibrate: Optional[Calibrate] = None, force: bool = False,
            overwrite: bool = False, threads: Optional[int] = None, imu_names: Optional[Sequence[str]] = None,
            clock: Literal["drift", "offset"] = "drift", subject: str, task: str, session: Optional[str] = None,
            tracksys: Optional[str] = None, acquisition: Optional[str] = None, run: Optional[Union[int, str]] = None,
            placements: Optional[dict[str, str]] = None, timezone: Optional[str] = None,
            resample: Optional[float] = None) -> dict[str, Any]: ...
def read_settings(path: PathLike) -> dict[str, Any]: ...
def write_settings(path: PathLike, settings: Union[str, Mapping[str, Any]], *, source: Optional[PathLike] = None,
                   overwrite: bool = False) -> None: ...
