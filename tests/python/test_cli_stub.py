"""The typed API: the stub beside the native module agrees with the module itself."""

import ast
import inspect
import pydoc
from pathlib import Path

import pytest

import fenmor_radar
from fenmor_radar import _fenmor_radar

PACKAGE = Path(fenmor_radar.__file__).parent


@pytest.fixture(scope="module")
def stub():
    path = Path(_fenmor_radar.__file__).with_name("_fenmor_radar.pyi")
    return ast.parse(path.read_text(encoding="utf-8"))


def stub_class(stub):
    (radar,) = [node for node in stub.body if isinstance(node, ast.ClassDef)]
    return radar


def stub_methods(stub):
    return {node.name: node for node in stub_class(stub).body if isinstance(node, ast.FunctionDef)}


def test_package_is_marked_typed():
    assert (PACKAGE / "py.typed").is_file()


def test_stub_declares_what_the_module_exports(stub):
    declared = {node.target.id for node in stub.body if isinstance(node, ast.AnnAssign)}
    declared |= {node.name for node in stub.body if isinstance(node, ast.ClassDef)}
    assert set(_fenmor_radar.__all__) <= declared
    assert stub_class(stub).name == "Radar"


def test_stub_methods_are_the_public_methods(stub):
    public = {name for name in dir(_fenmor_radar.Radar) if not name.startswith("_")}
    assert {name for name in stub_methods(stub) if not name.startswith("_")} == public


@pytest.mark.parametrize(
    ("name", "runtime"),
    [
        ("__new__", lambda: inspect.signature(_fenmor_radar.Radar)),
        ("command", lambda: inspect.signature(_fenmor_radar.Radar.command)),
        ("version", lambda: inspect.signature(_fenmor_radar.Radar.version)),
    ],
)
def test_stub_parameters_match_the_text_signatures(stub, name, runtime):
    node = stub_methods(stub)[name]
    names = [arg.arg for arg in node.args.args if arg.arg not in ("self", "cls")]
    assert names == [p for p in runtime().parameters if p != "self"]
    annotations = [ast.unparse(arg.annotation) for arg in node.args.args if arg.annotation]
    assert annotations == ["str"] * len(names)
    assert ast.unparse(node.returns) in ("str", "Radar")


def test_help_shows_signatures_and_docstrings():
    text = pydoc.render_doc(fenmor_radar.Radar, renderer=pydoc.plaintext)
    for expected in (
        "Radar(spec_json)",
        "A radar instance driven by JSON commands.",
        "command(self, /, cmd_json)",
        "Apply a command JSON and return the resulting response JSON.",
        "version()",
        "The library version.",
    ):
        assert expected in text
