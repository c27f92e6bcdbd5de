"""Running the application under uvicorn: one process, or N worker processes.

With ``workers`` 1 the catalogue is opened (loaded, checked, warmed up) in
this process before the socket is opened, so a bad file ends the command
before it serves anything. With more, this process checks the files once
and hands the settings to uvicorn's worker processes through the
environment; each worker opens its own catalogue before it accepts
connections on the shared socket.
"""

from __future__ import annotations

import copy
import dataclasses
import json
import logging
import os
from pathlib import Path
from typing import Any

import uvicorn
from uvicorn.config import LOGGING_CONFIG

from corvalind.serve.app import Bounds, create_app
from corvalind.serve.catalogue import Catalogue

ENVIRONMENT_KEY = "CORVALIND_SERVE_SETTINGS"
log = logging.getLogger("corvalind.serve")


@dataclasses.dataclass(frozen=True)
class Settings:
    file: Path
    titles: Path | None = None
    host: str = "127.0.0.1"
    port: int = 8080
    workers: int = 1
    reload_interval: float = 1.0
    bounds: Bounds = dataclasses.field(default_factory=Bounds)

    def to_environment(self) -> str:
        fields = dataclasses.asdict(self)
        fields["file"] = str(self.file)
        fields["titles"] = None if self.titles is None else str(self.titles)
        return json.dumps(fields)

    @classmethod
    def from_environment(cls) -> Settings:
        fields: dict[str, Any] = json.loads(os.environ[ENVIRONMENT_KEY])
        fields["file"] = Path(fields["file"])
        fields["titles"] = None if fields["titles"] is None else Path(fields["titles"])
        fields["bounds"] = Bounds(**fields["bounds"])
        return cls(**fields)


def _logging_config() -> dict[str, Any]:
    """uvicorn's own logging set-up, with this package's request and reload
    lines on standard error beside uvicorn's (uvicorn's access lines are off:
    ours carry the latency). uvicorn applies it in every worker process."""
    config = copy.deepcopy(LOGGING_CONFIG)
    config["loggers"]["corvalind"] = {"handlers": ["default"], "level": "INFO", "propagate": False}
    return config


def run(settings: Settings) -> None:
    """Serves until interrupted (Ctrl-C or SIGTERM), then shuts down: open
    connections finish their request, the reload watcher stops. Raises
    OSError or ValueError when the files cannot be opened."""
    file = settings.file.resolve()
    titles = None if settings.titles is None else settings.titles.resolve()
    settings = dataclasses.replace(settings, file=file, titles=titles)
    catalogue = Catalogue.open(file, titles)
    common: dict[str, Any] = {
        "host": settings.host,
        "port": settings.port,
        "log_config": _logging_config(),
        "access_log": False,
        "timeout_graceful_shutdown": 5,
    }
    if settings.workers == 1:
        app = create_app(catalogue, bounds=settings.bounds, reload_interval=settings.reload_interval)
        uvicorn.run(app, **common)
        return
    del catalogue  # each worker opens its own
    os.environ[ENVIRONMENT_KEY] = settings.to_environment()
    uvicorn.run("corvalind.serve.app:app_from_environment", factory=True, workers=settings.workers, **common)
