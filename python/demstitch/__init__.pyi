import os
from dataclasses import dataclass
from typing import Any, Callable, Iterable, Optional, Sequence, Tuple, TypedDict, Union

import numpy as np
import numpy.typing as npt

PathLike = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]
Progress = Callable[[int, int], object]

__version__: str
NODATA: int
CRS: str

class TileWarning(UserWarning): ...

@dataclass(frozen=True)
class TileProblem:
    tile: int
    path: str
    kind: str
    message: str

@dataclass(frozen=True)
class StitchResult:
    outcome: str
    files: Tuple[str, ...]
    tiles: Tuple[str, ...]
    problems: Tuple[TileProblem, ...] = ...
    width: int = ...
    height: int = ...

class Profile(TypedDict):
    width: int
    height: int
    count: int
    dtype: str
    nodata: int
    crs: str
    transform: Tuple[float, float, float, float, float, float]
    geotransform: Tuple[float, float, float, float, float, float]

def read(
    tiles: Union[PathLike, Iterable[PathLike]],
    bounds: Optional[Sequence[float]] = ...,
    progress: Optional[Progress] = ...,
    cache: bool = ...,
) -> Tuple[npt.NDArray[np.int16], Profile]: ...
def open_dataarray(
    tiles: Union[PathLike, Iterable[PathLike]],
    bounds: Optional[Sequence[float]] = ...,
    progress: Optional[Progress] = ...,
    cache: bool = ...,
) -> Any: ...  # an xarray.DataArray: xarray is needed only for this call
def stitch(
    tiles: Union[PathLike, Iterable[PathLike]],
    output: Optional[PathLike] = ...,
    bounds: Optional[Sequence[float]] = ...,
    format: Optional[str] = ...,
    progress: Optional[Progress] = ...,
    compress: Optional[str] = ...,
    level: Optional[int] = ...,
    overviews: Optional[str] = ...,
    cache: bool = ...,
) -> StitchResult: ...
