"""Shows the Sphinx roles of the docstrings (:func:`name`) as code in the site."""

from __future__ import annotations

import re
from typing import Any

import griffe

ROLE = re.compile(r":(?:func|class|meth|mod|attr|data|obj|exc):`~?([^`]+)`")


class SphinxRoles(griffe.Extension):
    def on_object(self, *, obj: griffe.Object, **kwargs: Any) -> None:
        if obj.docstring is not None:
            obj.docstring.value = ROLE.sub(r"`\1`", obj.docstring.value)
