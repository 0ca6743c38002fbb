import tolvane_trie
import tolvane_trie._tolvane as _tolvane


def test_version():
    assert _tolvane.__version__ == "0.13.0"
    assert tolvane_trie.__version__ == "0.13.0"


def test_package_reexports_module_names():
    for name in getattr(_tolvane, "__all__", []):
        assert getattr(tolvane_trie, name) is getattr(_tolvane, name)
