import inspect

import pytest

import fenmor_radar
from fenmor_radar import Radar, _fenmor_radar


def test_module_attributes():
    assert _fenmor_radar.__name__ == "fenmor_radar._fenmor_radar"
    assert _fenmor_radar.__doc__ == "The native module (`fenmor_radar._fenmor_radar`)."
    assert _fenmor_radar.__version__ == "0.2.0"
    assert _fenmor_radar.__all__ == ["__version__", "Radar"]
    assert _fenmor_radar.Radar is Radar
    assert fenmor_radar.__version__ == "0.2.0"
    assert not [name for name in vars(_fenmor_radar) if callable(getattr(_fenmor_radar, name))
                and name != "Radar"], "the module has no functions"


def test_radar_class_identity():
    assert Radar.__module__ == "builtins"
    assert Radar.__name__ == "Radar"
    assert Radar.__qualname__ == "Radar"
    assert isinstance(Radar, type)
    # Not a base class: the thread binding and the handle's release belong to
    # this class's own deallocation.
    with pytest.raises(TypeError):
        type("Sub", (Radar,), {})


def test_docstrings_and_signatures():
    assert Radar.__doc__ == (
        "A radar instance driven by JSON commands.\n\n"
        "`unsendable`: a handle owns a mutable dataset and spec, so it is bound to the\n"
        "thread that created it."
    )
    assert Radar.__text_signature__ == "(spec_json)"
    assert Radar.command.__doc__ == "Apply a command JSON and return the resulting response JSON."
    assert Radar.command.__text_signature__ == "($self, cmd_json)"
    assert Radar.version.__doc__ == "The library version."
    assert Radar.version.__text_signature__ == "()"
    assert str(inspect.signature(Radar)) == "(spec_json)"
    assert str(inspect.signature(Radar.command)) == "(self, /, cmd_json)"
    assert str(inspect.signature(Radar.version)) == "()"


def test_version_on_class_and_instance(radar):
    assert Radar.version() == "0.2.0"
    assert radar.version() == "0.2.0"
    assert type(Radar.version()) is str


def test_class_is_created_once_per_process():
    import importlib.util
    import sys

    # A second module object from the same extension reuses the class.
    spec = importlib.util.find_spec("fenmor_radar._fenmor_radar")
    second = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(second)
    assert second is not _fenmor_radar
    assert second.Radar is Radar
    assert second.__all__ == ["__version__", "Radar"]
    assert "fenmor_radar._fenmor_radar" in sys.modules
