"""The HTTP API and the preview page, as a starlette application.

    GET /search?q=TEXT[&limit=N][&typos=auto|0|1|2][&prefix=1|0][&explain=0|1]
    GET /suggest?q=TERM[&limit=N][&typos=auto|0|1|2]
    GET /health
    GET /

Every answer is JSON except the page. A parameter outside its bound gives a
400 whose body names the bound; a query that fails gives a 500, logged with
its traceback, and the server goes on serving.
"""

from __future__ import annotations

import asyncio
import contextlib
import dataclasses
import importlib.resources
import logging
import os
import time
from collections.abc import AsyncIterator, Callable
from typing import Any, Literal

from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import HTMLResponse, JSONResponse, Response
from starlette.routing import Route
from starlette.types import ASGIApp, Message, Receive, Scope, Send

import corvalind
from corvalind.serve.catalogue import Catalogue, CatalogueHolder

log = logging.getLogger("corvalind.serve")

Typos = int | Literal["auto"]


@dataclasses.dataclass(frozen=True)
class Bounds:
    """What one request may ask for. A query costs its length times the trie
    nodes it visits, per word, so characters and words are both capped."""

    query_characters: int = 200
    query_words: int = 8
    limit: int = 100
    typos: int = 2


DEFAULT_LIMIT = 10


class BadRequest(Exception):
    """A parameter that cannot be answered; ``bound`` names the bound it
    exceeds, or is None for a malformed value."""

    def __init__(self, message: str, parameter: str, bound: str | None = None, maximum: int | None = None) -> None:
        super().__init__(message)
        self.body: dict[str, Any] = {"error": message, "parameter": parameter}
        if bound is not None:
            self.body |= {"bound": bound, "maximum": maximum}


def _whole_number(request: Request, name: str, default: int, maximum: int) -> int:
    text = request.query_params.get(name)
    if text is None:
        return default
    if not (text.isascii() and text.isdigit()):
        raise BadRequest(f"{name} must be a whole number, not {text[:40]!r}", name)
    value = int(text[:20])
    if len(text) > 20 or value > maximum:
        raise BadRequest(f"{name} may be at most {maximum}", name, name, maximum)
    return value


def _typos(request: Request, bounds: Bounds) -> Typos:
    text = request.query_params.get("typos", "auto")
    if text == "auto":
        return "auto"
    return _whole_number(request, "typos", 0, bounds.typos)


def _flag(request: Request, name: str, default: bool) -> bool:
    text = request.query_params.get(name)
    if text is None:
        return default
    if text not in ("0", "1", "true", "false"):
        raise BadRequest(f"{name} must be 1 or 0, not {text[:40]!r}", name)
    return text in ("1", "true")


def _query(request: Request, bounds: Bounds, *, words: bool) -> str:
    query = request.query_params.get("q")
    if query is None:
        raise BadRequest("the parameter q (the query) is missing", "q")
    if len(query) > bounds.query_characters:
        raise BadRequest(
            f"the query has {len(query)} characters; at most {bounds.query_characters} are allowed",
            "q",
            "query_characters",
            bounds.query_characters,
        )
    if words and len(found := corvalind.normalize(query)) > bounds.query_words:
        raise BadRequest(
            f"the query has {len(found)} words; at most {bounds.query_words} are allowed",
            "q",
            "query_words",
            bounds.query_words,
        )
    return query


# The stop signals of the process itself pass on; everything else a query
# raises (a PanicException derives from BaseException) becomes a 500.
_PASSING = (KeyboardInterrupt, SystemExit, GeneratorExit, asyncio.CancelledError)


def _answer(compute: Callable[[], dict[str, Any]], request: Request) -> Response:
    started = time.perf_counter()
    try:
        body = compute()
    except BadRequest as refusal:
        return JSONResponse(refusal.body, status_code=400)
    except BaseException as error:
        if isinstance(error, _PASSING):
            raise
        log.exception("query failed: %s %s", request.url.path, request.url.query)
        return JSONResponse({"error": f"the query failed ({type(error).__name__})"}, status_code=500)
    body["took_ms"] = round((time.perf_counter() - started) * 1e3, 3)
    return JSONResponse(body)


def create_app(catalogue: Catalogue, *, bounds: Bounds = Bounds(), reload_interval: float | None = 1.0) -> Starlette:
    """The application serving ``catalogue``; with a ``reload_interval`` it
    checks its files that often in the background and swaps in a replaced
    catalogue (see ``CatalogueHolder``)."""
    holder = CatalogueHolder(catalogue)
    page = importlib.resources.files(__package__).joinpath("preview.html").read_text(encoding="utf-8")

    async def search(request: Request) -> Response:
        def compute() -> dict[str, Any]:
            query = _query(request, bounds, words=True)
            limit = _whole_number(request, "limit", DEFAULT_LIMIT, bounds.limit)
            typos = _typos(request, bounds)
            prefix = _flag(request, "prefix", True)
            explain = _flag(request, "explain", False)
            served = holder.catalogue
            found = corvalind.search(served.trie, query, limit=limit, typos=typos, prefix_last=prefix)
            body: dict[str, Any] = {
                "query": query,
                "results": [
                    {"video_id": video, "score": score, "title": served.titles.get(video)} for video, score in found
                ],
            }
            if explain:
                matched = corvalind.explain(served.trie, query, typos=typos, prefix_last=prefix)
                body["words"] = [
                    {"word": word, "matches": [{"term": term, "distance": distance} for term, distance in terms]}
                    for word, terms in matched
                ]
            return body

        return _answer(compute, request)

    async def suggest(request: Request) -> Response:
        def compute() -> dict[str, Any]:
            query = _query(request, bounds, words=False)
            limit = _whole_number(request, "limit", DEFAULT_LIMIT, bounds.limit)
            typos = _typos(request, bounds)
            found = corvalind.suggest(holder.catalogue.trie, query, limit=limit, typos=typos)
            return {"query": query, "suggestions": [{"term": term, "distance": distance} for term, distance in found]}

        return _answer(compute, request)

    async def health(request: Request) -> Response:
        body = {"status": "ok", "pid": os.getpid(), **holder.catalogue.health(), "reload_error": holder.reload_error}
        return JSONResponse(body)

    async def preview(request: Request) -> Response:
        return HTMLResponse(page)

    @contextlib.asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        stats = holder.catalogue.stats
        log.info(
            "serving %s: %d terms, %d nodes, %d videos, %d titles",
            holder.catalogue.path,
            stats["terms"],
            stats["nodes"],
            stats["videos"],
            len(holder.catalogue.titles),
        )
        if reload_interval is None:
            yield
            return
        watcher = asyncio.create_task(holder.watch(reload_interval))
        try:
            yield
        finally:
            watcher.cancel()
            with contextlib.suppress(asyncio.CancelledError):
                await watcher

    app = Starlette(
        routes=[
            Route("/search", search),
            Route("/suggest", suggest),
            Route("/health", health),
            Route("/", preview),
        ],
        lifespan=lifespan,
    )
    app.state.holder = holder
    app.add_middleware(RequestLog)
    return app


class RequestLog:
    """Logs one line per HTTP request at info level: client, request line,
    status and the time until the last byte of the answer was handed over."""

    def __init__(self, app: ASGIApp) -> None:
        self.app = app

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        started = time.perf_counter()
        status = 500

        async def logged_send(message: Message) -> None:
            nonlocal status
            if message["type"] == "http.response.start":
                status = message["status"]
            await send(message)

        try:
            await self.app(scope, receive, logged_send)
        finally:
            if log.isEnabledFor(logging.INFO):
                client = scope.get("client")
                target = scope["path"] + (
                    f"?{scope['query_string'].decode('latin-1')}" if scope["query_string"] else ""
                )
                log.info(
                    '%s "%s %s" %d %.2f ms',
                    f"{client[0]}:{client[1]}" if client else "-",
                    scope["method"],
                    target,
                    status,
                    (time.perf_counter() - started) * 1e3,
                )


def app_from_environment() -> Starlette:
    """The application that each worker process of ``corvalind serve
    --workers N`` builds, from the settings its parent put in the
    environment (see ``corvalind.serve.server``)."""
    from corvalind.serve.server import Settings

    settings = Settings.from_environment()
    catalogue = Catalogue.open(settings.file, settings.titles)
    return create_app(catalogue, bounds=settings.bounds, reload_interval=settings.reload_interval)
