"""A progress bar on standard error, drawn only when standard error is a terminal.

Redirected to a file or a pipe, as in CI, it prints nothing at all, so logs keep only the
program's own output.
"""

import sys
from types import TracebackType
from typing import TextIO


class ProgressBar:
    """Counts work done towards a known total and redraws one line in place as it grows.

    Use it as a context manager; leaving the block ends the line.
    """

    def __init__(self, total: int, label: str, stream: TextIO | None = None, width: int = 30) -> None:
        if total < 0:
            raise ValueError(f"total must not be negative, got {total}")
        self.total = total
        self.label = label
        self.done = 0
        self._stream = sys.stderr if stream is None else stream
        self._width = width
        self._shown = self._stream.isatty()
        self._drawn = False

    def advance(self, amount: int) -> None:
        self.done = min(self.total, self.done + max(0, amount))
        self._draw()

    def close(self) -> None:
        if self._drawn:
            self._stream.write("\n")
            self._stream.flush()
        self._shown = self._drawn = False

    def __enter__(self) -> "ProgressBar":
        self._draw()
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        self.close()

    def line(self) -> str:
        share = self.done / self.total if self.total else 1.0
        filled = round(share * self._width)
        bar = "#" * filled + "-" * (self._width - filled)
        return f"{self.label} [{bar}] {share:4.0%} {self.done:,}/{self.total:,}"

    def _draw(self) -> None:
        if not self._shown:
            return
        self._stream.write("\r" + self.line())
        self._stream.flush()
        self._drawn = True
