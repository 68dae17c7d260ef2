# Types of the quorix extension module, for editors and type checkers.
from typing import Any, final, overload

import numpy as np
import numpy.typing as npt
import pandas as pd

__all__ = ["Encoder"]

# Not subclassable, and its instances have a fixed layout (no __dict__).
@final
class Encoder:
    """Label-encodes the text columns of a table and decodes them again."""

    # "label" is the only strategy; None means it too. Anything else raises.
    def __new__(cls, encoding: str | None = None) -> Encoder: ...
    # Learns the text columns of a 2-D array or a DataFrame, replacing what was
    # learned before, and returns a new table of the same kind, every value a
    # float64: texts become their codes, missing values NaN. A 2-D float64 array
    # is copied as it is and leaves the Encoder unlearned.
    @overload
    def encode(self, obj: npt.NDArray[Any]) -> npt.NDArray[np.float64]: ...
    @overload
    def encode(self, obj: pd.DataFrame) -> pd.DataFrame: ...
    @overload
    def encode(self, obj: npt.NDArray[Any] | pd.DataFrame) -> npt.NDArray[np.float64] | pd.DataFrame: ...
    # Turns the codes of the learned text columns back into texts and returns a
    # new table of the input's kind; the Encoder is left as it is. An array
    # with decoded columns comes back with object dtype.
    @overload
    def decode(self, obj: npt.NDArray[Any]) -> npt.NDArray[Any]: ...
    @overload
    def decode(self, obj: pd.DataFrame) -> pd.DataFrame: ...
    @overload
    def decode(self, obj: npt.NDArray[Any] | pd.DataFrame) -> npt.NDArray[Any] | pd.DataFrame: ...
    # The learned state as little-endian bytes, for pickling and copying.
    def __getstate__(self) -> bytes: ...
    # Restores the state that __getstate__ wrote; malformed bytes raise.
    def __setstate__(self, state: bytes) -> None: ...
