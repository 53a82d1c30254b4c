"""Under scripts/sanitize.sh the suite must exercise the instrumented
build: every compiled module comes from the sanitized tree, not from an
installed copy, and the sanitizer runtimes are loaded."""

import importlib
import os

import pytest

TREE = os.environ.get("QUASMIR_SANITIZED")

pytestmark = pytest.mark.skipif(
    TREE is None, reason="only under scripts/sanitize.sh"
)


def compiled_modules():
    """(module name, file) of every compiled file in the sanitized tree."""
    found = []
    for folder, _, files in os.walk(TREE):
        for name in files:
            if name.endswith(".so"):
                found.append(os.path.join(folder, name))
    return found


def in_tree(path):
    return os.path.realpath(path).startswith(os.path.realpath(TREE) + os.sep)


@pytest.mark.parametrize(
    "module, attribute",
    [("quasmir", "__file__"), ("linestack", "__file__"),
     ("quasmir_tool", "__file__")],
)
def test_modules_come_from_the_sanitized_tree(module, attribute):
    assert in_tree(getattr(importlib.import_module(module), attribute))


def test_linestack_library_is_the_sanitized_one():
    import linestack

    assert in_tree(linestack.library_path())


def test_every_compiled_file_is_instrumented_and_loaded():
    import linestack
    import quasmir
    import quasmir_tool  # noqa: F401

    linestack.library()
    # Import any further extension of the tool (by its path in the tree).
    for path in compiled_modules():
        rel = os.path.relpath(path, TREE)
        parts = rel.split(os.sep)
        if parts[-1].startswith("lib"):
            continue
        name = ".".join(parts[:-1] + [parts[-1].split(".")[0]])
        assert in_tree(importlib.import_module(name).__file__), name
    with open("/proc/self/maps") as f:
        maps = f.read()
    assert "libasan" in maps and "libubsan" in maps
    loaded = {line.split()[-1] for line in maps.splitlines()
              if line.endswith(".so")}
    for path in compiled_modules():
        assert os.path.realpath(path) in loaded, path
        with open(path, "rb") as f:
            assert b"__asan_" in f.read(), f"{path} is not instrumented"
    assert in_tree(quasmir.__file__)
