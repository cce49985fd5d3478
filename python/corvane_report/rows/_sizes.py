"""How the data of a comparison of datasets is cut up: the sizes, apart from the engine so that
the command line can show them without loading it."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Final

__all__ = ["BLOCK_BYTES", "PARTITION_BYTES", "Partitioning"]

PARTITION_BYTES: Final = 16 << 20
BLOCK_BYTES: Final = 64 << 20


@dataclass(frozen=True, slots=True)
class Partitioning:
    """How the data is cut up: what one task reads, and what one comparison holds at a time.

    partition_bytes  input bytes per partition: what one comparison holds in memory at a time
    partitions       the number of partitions, instead of reckoning it from the sizes
    block_bytes      bytes of an uncompressed JSON Lines file read by one task (gzip files are
                     read whole, Parquet files by row groups)
    """

    partition_bytes: int = PARTITION_BYTES
    partitions: int | None = None
    block_bytes: int = BLOCK_BYTES

    def __post_init__(self) -> None:
        for name in ("partition_bytes", "partitions", "block_bytes"):
            value = getattr(self, name)
            if value is not None and value < 1:
                raise ValueError(f"Partitioning: {name}= must be 1 or more, not {value!r}")
