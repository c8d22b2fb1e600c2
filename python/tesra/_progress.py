"""The progress line: phase, percent, rate and time left, on standard error."""

from __future__ import annotations

import time

TYPE_CHECKING = False  # typing is not imported at run time: the command starts faster
if TYPE_CHECKING:
    from typing import TextIO


def _size(n: float) -> str:
    for unit in ("B", "KB", "MB", "GB"):
        if n < 1024 or unit == "GB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024
    raise AssertionError("unreachable")


def _duration(seconds: float) -> str:
    s = int(seconds + 0.5)
    return f"{s // 3600}:{s // 60 % 60:02d}:{s % 60:02d}" if s >= 3600 else f"{s // 60}:{s % 60:02d}"


class ProgressLine:
    """A progress callback for the engine (``progress(phase, done, total)``) that draws one line.

    On a terminal the line is redrawn in place and cleared by close(); elsewhere a line is
    written when a phase ends and at most once a second. Nothing is drawn before ``delay``
    seconds have passed since the display was made, so that short runs stay silent."""

    def __init__(self, stream: TextIO, delay: float = 0.0) -> None:
        self._stream = stream
        try:
            self._tty = stream.isatty()
        except (AttributeError, ValueError):
            self._tty = False
        self._start = time.monotonic()
        self._delay = delay
        self._phase = ""
        self._phase_start = self._start
        self._done = 0
        self._shown = 0  # width of the line on the terminal, 0 when none is shown
        self._last_line = -1.0

    def __call__(self, phase: str, done: int, total: int) -> None:
        now = time.monotonic()
        # A merge in passes starts again from 0 for every pass: a phase of its own for the rate.
        if phase != self._phase or done < self._done:
            self._phase, self._phase_start = phase, now
        self._done = done
        if now - self._start < self._delay:
            return
        finished = total > 0 and done >= total
        if not self._tty and not finished and now - self._last_line < 1.0:
            return
        self._last_line = now
        self._draw(self.line(phase, done, total, now - self._phase_start))

    @staticmethod
    def line(phase: str, done: int, total: int, elapsed: float) -> str:
        """The text shown after ``elapsed`` seconds of a phase."""
        rate = done / elapsed if elapsed > 0 else 0.0
        parts = [f"tesra: {phase}"]
        if total > 0:
            parts.append(f"{min(done, total) * 100 // total:3d}%")
        else:
            parts.append(_size(done))
        parts.append(f"{_size(rate)}/s")
        if total > 0:
            left = (total - done) / rate if rate > 0 else None
            parts.append("--:-- left" if left is None else f"{_duration(max(left, 0.0))} left")
        return "  ".join(parts)

    def _draw(self, text: str) -> None:
        try:
            if self._tty:
                # Pad over the previous, longer line rather than rely on terminal escapes.
                self._stream.write("\r" + text.ljust(self._shown))
                self._shown = max(self._shown, len(text))
            else:
                self._stream.write(text + "\n")
            self._stream.flush()
        except (OSError, ValueError):
            pass  # a display that cannot be written must not fail the sort

    def close(self) -> None:
        """Clears the line from the terminal."""
        if self._shown:
            try:
                self._stream.write("\r" + " " * self._shown + "\r")
                self._stream.flush()
            except (OSError, ValueError):
                pass
            self._shown = 0
