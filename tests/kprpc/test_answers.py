"""Pickled answers: what the service sends comes back unchanged, what it has no reason to send is
refused before it runs (both against the sandbox data service, over loopback)."""

import fractions
import pickle
import sys
import zlib

import numpy as np
import pandas as pd
import pytest

from kprpc_pickle_corpus import corpus
from varden.sandbox.dataservice import RawResponse, hostile_pickle, pack_answer
from varden.utils.exception import APIException

CORPUS = corpus()


def assert_same(result, expected):
    assert type(result) is type(expected)
    if isinstance(expected, pd.DataFrame):
        assert result.equals(expected)
        pd.testing.assert_frame_equal(result, expected, check_exact=True, check_index_type=True,
                                      check_column_type=True)
        assert result.attrs == expected.attrs
    elif isinstance(expected, pd.Series):
        pd.testing.assert_series_equal(result, expected, check_exact=True, check_index_type=True)
    elif isinstance(expected, pd.Index):
        pd.testing.assert_index_equal(result, expected, exact=True)
        assert repr(result) == repr(expected)  # freq and time zone included
    elif isinstance(expected, np.ndarray):
        np.testing.assert_array_equal(result, expected)
        assert (result.dtype, result.flags.f_contiguous) == (expected.dtype,
                                                             expected.flags.f_contiguous)
    elif isinstance(expected, dict):
        assert list(result) == list(expected)
        for key in expected:
            assert_same(result[key], expected[key])
    elif isinstance(expected, (list, tuple)):
        assert len(result) == len(expected)
        for item, expected_item in zip(result, expected):
            assert_same(item, expected_item)
    else:  # scalars: the text shows unit, time zone, frequency and NaN alike
        assert repr(result) == repr(expected)


@pytest.mark.parametrize("protocol", [4, 5])
@pytest.mark.parametrize("value", [value for _, value in CORPUS], ids=[name for name, _ in CORPUS])
def test_pickled_answers_come_back_unchanged(client, data_service, value, protocol):
    body = pickle.dumps(zlib.compress(pickle.dumps(value, protocol)))
    data_service.handlers["run_api"] = lambda user, **kwargs: RawResponse(200, body)
    assert_same(client.run_api(code="df = ...", name="df"), value)


def test_the_allow_list_is_read_at_each_answer(kprpc, client, data_service, monkeypatch):
    body = pack_answer(fractions.Fraction(1, 3), "pickle")
    data_service.handlers["run_api"] = lambda user, **kwargs: RawResponse(200, body)
    with pytest.raises(APIException, match=": fractions.Fraction$"):
        client.run_api()
    monkeypatch.setattr(kprpc, "ALLOWED_PICKLE_GLOBALS",
                        kprpc.ALLOWED_PICKLE_GLOBALS | {("fractions", "Fraction")})
    assert client.run_api() == fractions.Fraction(1, 3)


NEVER_IMPORTED = "varden_answer_plugin"


@pytest.fixture
def marker(tmp_path, monkeypatch):
    """The file any hostile payload below would create; importing NEVER_IMPORTED creates it too."""
    path = tmp_path / "marker"
    plugins = tmp_path / "plugins"
    plugins.mkdir()
    (plugins / (NEVER_IMPORTED + ".py")).write_text(
        "open(%r, 'w').close()\ndef run(*args):\n    pass\n" % str(path))
    monkeypatch.syspath_prepend(str(plugins))
    yield path
    assert not path.exists()
    assert NEVER_IMPORTED not in sys.modules


def hostile_payloads(marker):
    """Refused name -> a pickle that would create the marker when loaded."""
    touch = hostile_pickle("os", "system", "touch '%s'" % marker)
    stored = marker.with_name("stored.pickle")  # loaded by pandas or numpy, it would run `touch`
    stored.write_bytes(touch)
    return {
        "os.system": touch,
        "builtins.eval": hostile_pickle("builtins", "eval", "open(%r, 'w').close()" % str(marker)),
        "subprocess.Popen": hostile_pickle("subprocess", "Popen", ["touch", str(marker)]),
        "pandas.read_pickle": hostile_pickle("pandas", "read_pickle", str(stored)),
        "numpy.load": hostile_pickle("numpy", "load", str(stored), None, True),
        NEVER_IMPORTED + ".run": hostile_pickle(NEVER_IMPORTED, "run"),
        # getattr reaches only listed class attributes; a frame writer is none
        "pandas.core.frame.DataFrame.to_pickle": b"\x80\x02cbuiltins\ngetattr\n"
        b"cpandas.core.frame\nDataFrame\nX\x09\x00\x00\x00to_pickle\x86R.",
    }


@pytest.mark.parametrize("layer", ["outer", "inner"])
@pytest.mark.parametrize("refused", [
    "os.system", "builtins.eval", "subprocess.Popen", "pandas.read_pickle", "numpy.load",
    NEVER_IMPORTED + ".run", "pandas.core.frame.DataFrame.to_pickle",
])
def test_hostile_answers_are_refused_before_they_run(client, data_service, marker, layer,
                                                     refused):
    data_service.answer_hostile("run_api", hostile_payloads(marker)[refused], layer)
    with pytest.raises(APIException) as caught:
        client.run_api(code="df = ...", name="df")
    if layer == "outer" and refused.endswith("to_pickle"):
        refused = "builtins.getattr"  # the body refuses the first global it meets
    elif refused.endswith("to_pickle"):  # named after the class's __module__ ("pandas" in 3.x)
        refused = pd.DataFrame.__module__ + ".DataFrame.to_pickle"
    assert caught.value.args == ("拒绝解析服务器返回的数据: " + refused,)
    context = caught.value.__context__
    assert type(context) is pickle.UnpicklingError
    assert str(context) == "global '%s' is forbidden" % refused
