import importlib
import sys

import pytest

import tolvane_trie
import tolvane_trie._tolvane as _tolvane

# Every class of the module, in registration order.
REGISTRATION_ORDER = [
    "TolvaneMap", "TolvaneSet", "SyncTolvaneMap", "SyncTolvaneSet", "TolvaneStrMap",
    "TolvaneBytesMap", "TolvaneBlobMap", "TolvaneOrderedBytesMap",
    "TolvaneMapKeyIter", "TolvaneMapValueIter", "TolvaneMapItemIter", "TolvaneMapRangeIter",
    "TolvaneSetIter", "TolvaneSetRangeIter",
    "SyncTolvaneMapKeyIter", "SyncTolvaneMapValueIter", "SyncTolvaneMapItemIter",
    "SyncTolvaneMapRangeIter", "SyncTolvaneSetIter", "SyncTolvaneSetRangeIter",
    "TolvaneStrMapKeyIter", "TolvaneStrMapValueIter", "TolvaneStrMapItemIter",
    "TolvaneBytesMapKeyIter", "TolvaneBytesMapValueIter", "TolvaneBytesMapItemIter",
    "TolvaneOrderedBytesMapKeyIter", "TolvaneOrderedBytesMapValueIter",
    "TolvaneOrderedBytesMapItemIter",
]
CONTAINERS = set(REGISTRATION_ORDER[:8])
INTEGER_CLASSES = ["TolvaneMap", "TolvaneSet", "TolvaneMapKeyIter", "TolvaneMapValueIter",
                   "TolvaneMapItemIter", "TolvaneMapRangeIter", "TolvaneSetIter",
                   "TolvaneSetRangeIter"]
REGISTERED = [name for name in _tolvane.__all__ if name != "__version__"]
ITERATORS = [name for name in REGISTERED if name not in CONTAINERS]


def test_version():
    assert _tolvane.__version__ == "0.13.0"
    assert tolvane_trie.__version__ == "0.13.0"


def test_all_lists_version_then_classes_in_registration_order():
    assert isinstance(_tolvane.__all__, list)
    assert _tolvane.__all__[0] == "__version__"
    assert REGISTERED == [name for name in REGISTRATION_ORDER if name in REGISTERED]
    assert set(INTEGER_CLASSES) <= set(REGISTERED)
    for name in REGISTERED:
        assert isinstance(getattr(_tolvane, name), type)


def test_package_reexports_module_names():
    assert tolvane_trie.__all__ == _tolvane.__all__
    for name in _tolvane.__all__:
        assert getattr(tolvane_trie, name) is getattr(_tolvane, name)


@pytest.mark.parametrize("name", REGISTERED)
def test_class_identity(name):
    cls = getattr(_tolvane, name)
    assert cls.__module__ == "tolvane_trie._tolvane"
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    assert "__dict__" not in cls.__dict__
    assert "__weakref__" not in cls.__dict__
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


@pytest.mark.parametrize("name", ITERATORS)
def test_iterator_classes_refuse_creation(name):
    cls = getattr(_tolvane, name)
    for args, kwargs in [((), {}), ((1, 2), {}), ((), {"x": 1})]:
        with pytest.raises(TypeError) as info:
            cls(*args, **kwargs)
        assert str(info.value) == f"cannot create 'tolvane_trie._tolvane.{name}' instances"


def test_refusal_reads_the_class_names_at_call_time():
    cls = _tolvane.TolvaneSetRangeIter
    cls.__module__ = "elsewhere"
    try:
        with pytest.raises(TypeError, match=r"^cannot create 'elsewhere\.TolvaneSetRangeIter'"):
            cls()
    finally:
        cls.__module__ = "tolvane_trie._tolvane"


def test_second_import_publishes_the_same_class_objects():
    before = {name: getattr(_tolvane, name) for name in REGISTERED}
    saved = sys.modules.pop("tolvane_trie._tolvane")
    try:
        again = importlib.import_module("tolvane_trie._tolvane")
        assert again is not saved
        assert again.__all__ == saved.__all__
        for name, cls in before.items():
            assert getattr(again, name) is cls
    finally:
        sys.modules["tolvane_trie._tolvane"] = saved
