"""Learned label codes applied to new tables: an encoder in scikit-learn's
conventions on the engine of quorix. scikit-learn is not needed to import it."""

from ._text_encoder import NotFittedError, TextEncoder, merge

__all__ = ["NotFittedError", "TextEncoder", "merge"]
