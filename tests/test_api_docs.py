"""The public API is documented: docstrings on every public callable and module, and
typing stubs (dendrograd/*.pyi) that match what tools/make_stubs.py generates now."""
import ast
import importlib
import inspect
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
MODULES = ["modules_dgr", "tracker_dgr", "utils_dgr", "blockwise_dgr", "deploy_net"]

# Modules whose docstrings are still being written: their checks may fail for now and
# turn into passes (XPASS) as the docstrings land; drop a name here once it passes.
PENDING_CALLABLE_DOCS = set()
PENDING_MODULE_DOCS = set()

SIGNATURE_LINE = re.compile(r"^\s*[\w.]*\(.*\)\s*(->.*)?$")


def _params(names, pending):
    return [
        pytest.param(name, marks=pytest.mark.xfail(reason=f"docstrings of {name} are being written", strict=False))
        if name in pending else name
        for name in names
    ]


def _module(name):
    return importlib.import_module(f"dendrograd.{name}")


def public_callables(module):
    """Public callables that belong to the package (imports from other libraries excluded)."""
    found = {}
    for name, value in vars(module).items():
        if name.startswith("_") or inspect.ismodule(value) or not callable(value):
            continue
        if not str(getattr(value, "__module__", "")).startswith("dendrograd."):
            continue
        found[name] = value
    return found


def doc_text(obj):
    """The docstring without pybind11's signature line (a class's own docstring only)."""
    doc = vars(obj).get("__doc__") if isinstance(obj, type) else obj.__doc__
    lines = (doc or "").strip().splitlines()
    if lines and not isinstance(obj, type) and SIGNATURE_LINE.match(lines[0]):
        lines = lines[1:]
    return "\n".join(lines).strip()


@pytest.mark.parametrize("name", _params(MODULES, PENDING_CALLABLE_DOCS))
def test_every_public_callable_has_a_docstring(name):
    module = _module(name)
    callables = public_callables(module)
    assert callables, f"{name} exposes no public callables"
    missing = sorted(n for n, obj in callables.items() if not doc_text(obj))
    assert not missing, f"{name}: no docstring beyond the signature for {', '.join(missing)}"


@pytest.mark.parametrize("name", _params(MODULES, PENDING_MODULE_DOCS))
def test_every_module_has_a_docstring(name):
    assert (_module(name).__doc__ or "").strip(), f"{name} has no module docstring"


def test_signature_line_is_not_counted_as_documentation():
    assert doc_text(_module("modules_dgr").apply_dg_grads)
    assert not SIGNATURE_LINE.match(doc_text(_module("modules_dgr").apply_dg_grads).splitlines()[0])


@pytest.fixture(scope="module")
def generated_stubs(tmp_path_factory):
    out = tmp_path_factory.mktemp("stubs")
    result = subprocess.run(
        [sys.executable, str(ROOT / "tools" / "make_stubs.py"), "--out", str(out)],
        cwd=ROOT, capture_output=True, text=True, timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    return out


@pytest.mark.parametrize("name", MODULES)
def test_shipped_stub_is_up_to_date(name, generated_stubs):
    shipped = ROOT / "dendrograd" / f"{name}.pyi"
    assert shipped.is_file(), f"{shipped} is missing: run tools/make_stubs.py"
    assert shipped.read_text() == (generated_stubs / f"{name}.pyi").read_text(), (
        f"{shipped.name} is out of date: run .venv/bin/python tools/make_stubs.py")


@pytest.mark.parametrize("name", MODULES)
def test_stub_is_valid_python(name):
    path = ROOT / "dendrograd" / f"{name}.pyi"
    text = path.read_text()
    ast.parse(text, filename=str(path))
    namespace = {"__name__": f"_stub_{name}"}
    exec(compile(text, str(path), "exec"), namespace)  # the interpreter accepts it as written


@pytest.mark.parametrize("name", MODULES)
def test_stub_lists_every_public_callable(name):
    tree = ast.parse((ROOT / "dendrograd" / f"{name}.pyi").read_text())
    declared = set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            declared.add(node.name)
        elif isinstance(node, ast.Assign):
            declared.update(t.id for t in node.targets if isinstance(t, ast.Name))
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            declared.add(node.target.id)
        elif isinstance(node, ast.ImportFrom):
            declared.update(a.asname or a.name for a in node.names)
    missing = sorted(set(public_callables(_module(name))) - declared)
    assert not missing, f"{name}.pyi lacks {', '.join(missing)}"


def test_package_ships_stubs_and_marker():
    assert (ROOT / "dendrograd" / "py.typed").is_file()
    text = (ROOT / "pyproject.toml").read_text()
    assert re.search(r'^\[tool\.setuptools\.package-data\]\s*\n(#.*\n)*dendrograd = \[.*"\*\.pyi".*"py\.typed".*\]',
                     text, re.M)
