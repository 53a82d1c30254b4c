"""The typed stub of the extension module: installed where mypy finds it,
in step with the module's real signatures, and catching misuse."""

import ast
import inspect
import os
import subprocess
import sys

import numpy as np
import pytest

import quasmir

STUB = os.path.join(
    os.path.dirname(os.path.dirname(os.path.dirname(__file__))),
    "module",
    "quasmir.pyi",
)
METHODS = [
    "get_RV_line_by_line",
    "get_RV_line_by_line2",
    "get_RV_line_by_line2_with_offset",
    "get_RV_line_by_line3",
]


def _stub_functions(path):
    with open(path) as f:
        tree = ast.parse(f.read())
    return {
        node.name: node
        for node in tree.body
        if isinstance(node, ast.FunctionDef)
    }


def _result_arity(node):
    """Number of items of the stub's result tuple."""
    return len(node.returns.slice.elts)


@pytest.mark.parametrize("where", ["beside the module", "quasmir-stubs"])
def test_stub_installed(where):
    site = os.path.dirname(quasmir.__file__)
    path = (
        os.path.join(site, "quasmir.pyi")
        if where == "beside the module"
        else os.path.join(site, "quasmir-stubs", "__init__.pyi")
    )
    assert os.path.isfile(path)
    with open(path) as f, open(STUB) as g:
        assert f.read() == g.read()


@pytest.mark.parametrize("name", METHODS)
def test_stub_matches_the_module(name):
    node = _stub_functions(STUB)[name]
    signature = inspect.signature(getattr(quasmir, name))
    stub_names = [a.arg for a in node.args.posonlyargs]
    assert stub_names == list(signature.parameters)
    assert not node.args.args and not node.args.kwonlyargs
    defaults = [ast.literal_eval(d) for d in node.args.defaults]
    real = [
        p.default
        for p in signature.parameters.values()
        if p.default is not inspect.Parameter.empty
    ]
    assert defaults == real
    assert all(
        p.kind is inspect.Parameter.POSITIONAL_ONLY
        for p in signature.parameters.values()
    )


@pytest.mark.parametrize("name", METHODS)
def test_stub_result_arity(name):
    # The number of results the stub promises is what a call returns.
    w = np.linspace(5000.0, 5001.0, 40)
    f = 1.0 - 0.5 * np.exp(-(((w - 5000.5) / 0.05) ** 2))
    e = np.full_like(w, 0.01)
    args = (w, e, f, w, f)
    if name == "get_RV_line_by_line":
        args = (np.array([0.0, 10.0]),) + args
    result = getattr(quasmir, name)(*args)
    node = _stub_functions(STUB)[name]
    assert len(result) == _result_arity(node)
    for value, kind in zip(result, node.returns.slice.elts):
        expected = np.ndarray if kind.id == "_Out" else float
        assert isinstance(value, expected)


GOOD = """
import numpy as np
import quasmir

w = np.linspace(5000.0, 5001.0, 50)
rv, err, chi2, coeffs = quasmir.get_RV_line_by_line(
    np.zeros(3), w, w, w, w, w)
scale, v, e, zero, c2 = quasmir.get_RV_line_by_line2(
    w, w, w, w, w, 0.0, 0.0, 5000.5)
total: float = v + e
out = quasmir.get_RV_line_by_line3(w, w, w, w, w)
shifted: np.ndarray = out[7]
reveal_type(quasmir.get_RV_line_by_line2_with_offset)
"""

BAD = """
import numpy as np
import quasmir

w = np.linspace(5000.0, 5001.0, 50)
quasmir.get_RV_line_by_line2([1.0], w, w, w, w)
quasmir.get_RV_line_by_line2(w, w, w, w, w, sys_err=1.0)
quasmir.get_RV_line_by_line2(w, w, w, w, w, "0.1")
a, b = quasmir.get_RV_line_by_line2_with_offset(w, w, w, w, w)
quasmir.get_RV_line_by_line(w, w, w, w, w)
"""


@pytest.fixture(scope="module")
def mypy_output(tmp_path_factory):
    """mypy --strict over a correct and a wrong usage, in one run."""
    pytest.importorskip("mypy")
    tmp = tmp_path_factory.mktemp("mypy")
    (tmp / "good.py").write_text(GOOD)
    (tmp / "bad.py").write_text(BAD)
    # mypy reads the stubs installed for this interpreter.
    run = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-incremental",
            "--python-executable",
            sys.executable,
            "good.py",
            "bad.py",
        ],
        capture_output=True,
        text=True,
        cwd=tmp,
        env=dict(os.environ, MYPY_CACHE_DIR=str(tmp / "cache")),
    )
    assert run.returncode in (0, 1), run.stdout + run.stderr
    return run.stdout.splitlines()


def test_mypy_accepts_correct_use(mypy_output):
    good = [line for line in mypy_output if line.startswith("good.py")]
    assert len(good) == 1 and "Revealed type" in good[0]
    assert (
        "float =, float =, float =) -> tuple[float, float, float, "
        "float, float]" in good[0]
    )


def test_mypy_rejects_misuse(mypy_output):
    bad = "\n".join(line for line in mypy_output if line.startswith("bad.py"))
    assert "import-not-found" not in bad and "import-untyped" not in bad
    for message in [
        'Argument 1 to "get_RV_line_by_line2" has incompatible type',
        'Unexpected keyword argument "sys_err"',
        'Argument 6 to "get_RV_line_by_line2" has incompatible type "str"',
        "Too many values to unpack (2 expected, 5 provided)",
        'Too few arguments for "get_RV_line_by_line"',
    ]:
        assert message in bad
    assert len([line for line in bad.splitlines() if ": error:" in line]) == 5
