"""Progress bars for long runs, shared by the batch matcher and the command line."""

from __future__ import annotations

import sys
from typing import NoReturn

from tqdm import tqdm


def progress_bar(total: int | None, description: str, unit: str = "it", show: bool | None = None) -> tqdm[NoReturn]:
    """A bar on standard error counting up to ``total`` (None: unknown).

    Shown when ``show`` is True; by default only when standard error is a
    terminal, so logs and pipes get no bar. A hidden bar costs next to
    nothing per update. Use it as a context manager and call ``update(n)``.
    """
    if show is None:
        show = sys.stderr.isatty()
    return tqdm(total=total, desc=description, unit=unit, file=sys.stderr, disable=not show, leave=False)
