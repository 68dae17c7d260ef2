import os

import pytest
from hypothesis import settings

import quorix

# `make test` runs each property test at the example count it names. The
# sanitizer runs load HYPOTHESIS_PROFILE=sanitize, which caps every count: the
# instrumented module runs each example many times slower, and a bad access
# shows on the first input that makes it, not only on rare ones.
PROFILE = os.environ.get("HYPOTHESIS_PROFILE", "")
settings.register_profile("sanitize", max_examples=15, deadline=None)
if PROFILE:
    settings.load_profile(PROFILE)


def examples(count):
    """A property test's example count: its own, capped by the sanitize profile."""
    return min(count, settings.default.max_examples) if PROFILE == "sanitize" else count


@pytest.fixture
def encoder():
    return quorix.Encoder()


def panic_type():
    """The class of internal errors, which is not reachable as a module attribute.
    Other extension modules (hypothesis' own) make classes of the same name."""
    return next(c for c in BaseException.__subclasses__() if c.__module__ == "quorix" and c.__name__ == "PanicException")
