"""The module and the Encoder class as the interpreter sees them."""

import gc
import importlib.util
import subprocess
import sys
import weakref

import pytest

import quorix


def test_public_surface():
    assert quorix.__all__ == ["Encoder"]
    assert quorix.Encoder.__module__ == "quorix"
    assert quorix.Encoder.__name__ == quorix.Encoder.__qualname__ == "Encoder"
    assert repr(quorix.Encoder) == "<class 'quorix.Encoder'>"
    assert quorix.__doc__.strip()
    public = {name for name in vars(quorix) if not name.startswith("_")}
    assert public == {"Encoder"}


@pytest.mark.parametrize(
    "owner, name, signature",
    [
        (quorix, "Encoder", "(encoding=None)"),
        (quorix.Encoder, "encode", "($self, obj)"),
        (quorix.Encoder, "decode", "($self, obj)"),
        (quorix.Encoder, "__getstate__", "($self)"),
        (quorix.Encoder, "__setstate__", "($self, state)"),
    ],
)
def test_text_signatures(owner, name, signature):
    target = getattr(owner, name)
    assert target.__text_signature__ == signature
    assert not target.__doc__  # the signature is all the docstring holds


def test_method_table_order():
    own = [name for name in vars(quorix.Encoder) if name in {"encode", "decode", "__getstate__", "__setstate__"}]
    assert own == ["encode", "decode", "__getstate__", "__setstate__"]


def test_class_cannot_be_subclassed():
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (quorix.Encoder,), {})


def test_instances_have_no_dict_and_no_weak_references(encoder):
    with pytest.raises(AttributeError):
        encoder.anything = 1
    assert not hasattr(encoder, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(encoder)


def test_instances_are_tracked_by_the_collector(encoder):
    assert gc.is_tracked(encoder)
    assert any(tracked is encoder for tracked in gc.get_objects())


def test_reimport_publishes_the_same_class():
    first = sys.modules.pop("quorix")
    try:
        again = importlib.import_module("quorix")
        assert again is not first
        assert again.Encoder is first.Encoder
        assert again.__all__ == ["Encoder"]
    finally:
        sys.modules["quorix"] = first


def _fresh_module():
    found = importlib.util.find_spec("quorix")
    return found, found.loader.create_module(found)


def test_execution_appends_to_an_existing_all():
    found, module = _fresh_module()
    module.__all__ = ["other"]
    found.loader.exec_module(module)
    assert module.__all__ == ["other", "Encoder"]
    assert module.Encoder is quorix.Encoder


def test_execution_refuses_an_all_that_is_not_a_list():
    found, module = _fresh_module()
    module.__all__ = ("other",)
    with pytest.raises(TypeError, match=r"^'tuple' object is not an instance of 'list'$"):
        found.loader.exec_module(module)


def test_instances_release_their_type_reference():
    def created_and_dropped():
        before = sys.getrefcount(quorix.Encoder)
        encoders = [quorix.Encoder() for _ in range(100)]
        assert sys.getrefcount(quorix.Encoder) >= before + 100
        del encoders
        return sys.getrefcount(quorix.Encoder) - before

    created_and_dropped()  # the first round may fill interpreter caches
    assert [created_and_dropped() for _ in range(3)] == [0, 0, 0]


# The module's state is process-wide, so it loads in the main interpreter
# only: a subinterpreter, isolated (its own GIL, from 3.12) or sharing the
# main one's GIL, is refused with an ImportError, before or after the main
# interpreter loaded it, and the main interpreter goes on unharmed.
SUBINTERPRETER_SCRIPT = r"""
import sys, tempfile
import numpy as np
try:
    import _interpreters as subinterpreters  # 3.13
    configs = {"isolated": ("isolated",), "shared GIL": ("legacy",)}
    create = lambda how: subinterpreters.create(*how)
except ImportError:
    import _xxsubinterpreters as subinterpreters  # 3.11, 3.12
    configs = {"isolated": True, "shared GIL": False}
    create = lambda how: subinterpreters.create(isolated=how)

if sys.argv[1] == "main first":
    import quorix
with tempfile.NamedTemporaryFile("r") as outcome:
    for name, how in configs.items():
        interpreter = create(how)
        subinterpreters.run_string(interpreter, f'''
try:
    import quorix
except ImportError as error:
    outcome = f"ImportError: {{error}}"
else:
    outcome = "imported"
with open({outcome.name!r}, "w") as out:
    out.write(outcome)
''')
        subinterpreters.destroy(interpreter)
        outcome.seek(0)
        print(f"{name}: {outcome.read()}")
import quorix
encoder = quorix.Encoder()
print(encoder.decode(encoder.encode(np.array([["b"], ["a"]], dtype=object))).tolist())
"""


@pytest.mark.parametrize("order", ["main first", "subinterpreters first"])
def test_a_subinterpreter_is_refused_cleanly_and_the_main_interpreter_goes_on(order):
    result = subprocess.run([sys.executable, "-c", SUBINTERPRETER_SCRIPT, order], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    ours = "ImportError: quorix loads in the main interpreter only, not in a subinterpreter"
    # From 3.12 the import system refuses it in an isolated one before the module runs.
    isolated = ours if sys.version_info < (3, 12) else "ImportError: module quorix does not support loading in subinterpreters"
    assert result.stdout.splitlines() == [f"isolated: {isolated}", f"shared GIL: {ours}", "[['b'], ['a']]"]
