"""``corvalind serve``: an HTTP search service over a snapshot file, with a
preview page. Needs the ``serve`` extra (starlette and uvicorn).

``create_app(Catalogue.open(path, titles_path))`` gives the ASGI application
to embed elsewhere; ``run(Settings(path, ...))`` serves it with uvicorn.
"""

from corvalind.serve.app import Bounds, create_app
from corvalind.serve.catalogue import Catalogue, CatalogueHolder
from corvalind.serve.server import Settings, run

__all__ = ["Bounds", "Catalogue", "CatalogueHolder", "Settings", "create_app", "run"]
