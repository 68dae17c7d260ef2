import pytest

import quorix


@pytest.fixture
def encoder():
    return quorix.Encoder()


def panic_type():
    """The class of internal errors, which is not reachable as a module attribute.
    Other extension modules (hypothesis' own) make classes of the same name."""
    return next(c for c in BaseException.__subclasses__() if c.__module__ == "quorix" and c.__name__ == "PanicException")
