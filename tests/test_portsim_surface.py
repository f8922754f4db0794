"""The module surface of portsim: import, attributes, argument binding,
conversions and array checks, in their order."""

import datetime
import importlib.util
import subprocess
import sys
import textwrap
import types

import numpy as np
import pytest
from sim import NO_COSTS, names, run

import orvane.core.excursion as excursion
from orvane.core import portsim

P = np.ones((3, 1))
I = np.arange(3, dtype=np.int64)
C = names(1)


def arrays(**replace):
    args = dict(price_values=P, close_values=P, high_values=P, low_values=P, open_values=P,
                price_index=I, price_columns=C, pos_values=P, pos_index=I, pos_columns=C,
                resample=I)
    args.update(replace)
    return args


def in_fresh_interpreter(code: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, check=False)


def test_initial_module_state():
    proc = in_fresh_interpreter("""
        import datetime, numpy
        import orvane.core.excursion as excursion
        from orvane.core import portsim
        assert portsim.RETAIN_COST_WHEN_REBALANCE is False
        assert portsim.RESAMPLE is None
        assert portsim.get_stock_operations() == {}
        assert portsim.org_np is numpy and portsim.excursion is excursion
        assert portsim.datetime is datetime
        assert portsim.get_trade_stocks(None, None, False) == ([], {})
        print("ok")
    """)
    assert proc.stdout == "ok\n", proc.stderr


@pytest.mark.parametrize("change, error", [
    ("del table['record_exit']",
     "ImportError: orvane.core.excursion does not export expected C function record_exit"),
    ("del table['entry']",
     "ImportError: orvane.core.excursion does not export expected C variable entry"),
    ("table['end_analysis'] = table['record_date']",
     "TypeError: C function orvane.core.excursion.end_analysis has wrong signature "
     "(expected PyObject *(std::map<int,double>  &), got void (int))"),
])
def test_import_fails_on_a_bad_binding_table(change, error):
    proc = in_fresh_interpreter(f"""
        import orvane.core.excursion as excursion
        table = dict(excursion._capi)
        {change}
        excursion._capi = table
        try:
            from orvane.core import portsim
        except Exception as e:
            print(f"{{type(e).__name__}}: {{e}}")
    """)
    assert proc.stdout == error + "\n", proc.stderr


def test_failed_import_can_be_retried():
    proc = in_fresh_interpreter("""
        import sys
        import orvane.core.excursion as excursion
        good = excursion._capi
        excursion._capi = {}
        try:
            import orvane.core.portsim
        except ImportError:
            pass
        excursion._capi = good
        from orvane.core import portsim
        print(portsim.RESAMPLE)
    """)
    assert proc.stdout == "None\n", proc.stderr


def test_reinitialisation_is_refused():
    spec = importlib.util.find_spec("orvane.core.portsim")
    module = importlib.util.module_from_spec(spec)
    with pytest.raises(RuntimeError, match=r"^Module 'portsim' has already been imported\. "
                                           r"Re-initialisation is not supported\.$"):
        spec.loader.exec_module(module)


def test_flags_mirror_the_last_run():
    run([[10]] * 2, [[1.0]], retain_cost_when_rebalance=True, periodically_rebalance=False)
    assert portsim.RETAIN_COST_WHEN_REBALANCE is True and portsim.RESAMPLE is False
    run([[10]] * 2, [[1.0]])
    assert portsim.RETAIN_COST_WHEN_REBALANCE is False and portsim.RESAMPLE is True


def test_defaults():
    price = [[10, 10], [10, 10], [11, 15], [12, 20], [12, 30]]
    implicit = run(price, [[0.5, -0.5]])
    explicit = run(price, [[0.5, -0.5]], fee_ratio=0.001425, tax_ratio=0.003, stop_loss=1.0,
                   take_profit=np.inf, trail_stop=np.inf, touched_exit=False, position_limit=1.0,
                   retain_cost_when_rebalance=False, stop_trading_next_period=True,
                   excursion_window=0, excursion_window_step=1, periodically_rebalance=True)
    np.testing.assert_array_equal(implicit.creturn, explicit.creturn)
    assert implicit.trades == explicit.trades
    # The default stop loss of 1 stops a short out when its price has doubled.
    assert implicit.trades == [[1, 1, 4], [0, 1, -1]]
    assert implicit.arrays[0].shape == (6,)


def test_get_stock_operations_is_a_shallow_copy():
    run([[10]] * 3, [[1.0]])
    first = portsim.get_stock_operations()
    first["extra"] = 1
    first["weights"][99] = 1.0
    second = portsim.get_stock_operations()
    assert "extra" not in second and second is not first
    assert second["weights"] is first["weights"]


def test_ioft():
    assert portsim.ioft(0) == datetime.datetime.fromtimestamp(0)
    assert portsim.ioft(v=1_500_000_000) == datetime.datetime.fromtimestamp(1.5)
    assert portsim.ioft(np.int64(2_000_000_000)) == datetime.datetime.fromtimestamp(2.0)
    with pytest.raises(TypeError):
        portsim.ioft("0")


@pytest.mark.parametrize("call, message", [
    (lambda: portsim.backtest_(P, P, P, P, P, I, C, P, I, C),
     "backtest_() missing 1 required positional argument: 'resample'"),
    (lambda: portsim.backtest_(*([P] * 24)),
     "backtest_() takes from 11 to 23 positional arguments but 24 were given"),
    (lambda: portsim.backtest_(**arrays(), fee=0.1),
     "backtest_() got an unexpected keyword argument 'fee'"),
    (lambda: portsim.backtest_(P, **arrays()),
     "backtest_() got multiple values for argument 'price_values'"),
    (lambda: portsim.normalize_weight({}),
     "normalize_weight() missing 1 required positional argument: 'position_limit'"),
    (lambda: portsim.normalize_weight({}, 1, 2),
     "normalize_weight() takes 2 positional arguments but 3 were given"),
    (lambda: portsim.get_stock_operations(1),
     "get_stock_operations() takes 0 positional arguments but 1 was given"),
    (lambda: portsim.ioft(),
     "ioft() missing 1 required positional argument: 'v'"),
    (lambda: portsim.get_trade_stocks(C, I),
     "get_trade_stocks() missing 1 required positional argument: 'touched_exit'"),
])
def test_argument_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keyword_arguments_bind_by_name():
    res = portsim.backtest_(**arrays(), **NO_COSTS)
    assert res.tolist() == [1.0, 1.0, 1.0]


@pytest.mark.parametrize("options, error, message", [
    ({"excursion_window": 2**31}, OverflowError, "value too large to convert to int"),
    ({"excursion_window_step": -2**31 - 1}, OverflowError, "value too large to convert to int"),
    ({"excursion_window": "3"}, TypeError, "an integer is required"),
    ({"fee_ratio": "0.1"}, TypeError, "must be real number, not str"),
    # Scalars convert in parameter order: the fee fails before the window.
    ({"fee_ratio": None, "excursion_window": 2**31}, TypeError, "must be real number, not NoneType"),
    # ... and before any array is looked at.
    ({"tax_ratio": [], "price_values": [1.0]}, TypeError, "must be real number, not list"),
])
def test_scalar_conversion_errors(options, error, message):
    args = arrays()
    args.update(options)
    with pytest.raises(error) as info:
        portsim.backtest_(**args)
    assert str(info.value) == message


def test_float_window_is_truncated():
    res = run([[10]] * 4, [[1.0]], excursion_window=2.9, excursion_window_step=1.2)
    # window 2, step 1: two sampled blocks and the summary.
    assert res.arrays[0].shape == (18,)


def test_truth_values_of_bool_parameters():
    run([[10]] * 2, [[1.0]], retain_cost_when_rebalance=[1], periodically_rebalance=0)
    assert portsim.RETAIN_COST_WHEN_REBALANCE is True and portsim.RESAMPLE is False


@pytest.mark.parametrize("replace, error, message", [
    ({"price_values": [[1.0]]}, TypeError,
     "Argument 'price_values' has incorrect type (expected numpy.ndarray, got list)"),
    ({"resample": (1,)}, TypeError,
     "Argument 'resample' has incorrect type (expected numpy.ndarray, got tuple)"),
    ({"price_values": P.astype(np.float32)}, ValueError,
     "Buffer dtype mismatch, expected 'float64_t' but got 'float'"),
    ({"pos_index": I.astype(np.int32)}, ValueError,
     "Buffer dtype mismatch, expected 'int64_t' but got 'int'"),
    ({"pos_columns": np.array([1.0])}, ValueError,
     "Buffer dtype mismatch, expected 'unicode object' but got 'double'"),
    ({"close_values": P[:, 0]}, ValueError,
     "Buffer has wrong number of dimensions (expected 2, got 1)"),
    ({"price_index": I.reshape(3, 1)}, ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
    # Every type check comes before every buffer check.
    ({"price_values": P.astype(np.float32), "resample": [0]}, TypeError,
     "Argument 'resample' has incorrect type (expected numpy.ndarray, got list)"),
    # Buffer checks run in parameter order.
    ({"pos_values": P[:, 0], "open_values": P.astype(np.float32)}, ValueError,
     "Buffer dtype mismatch, expected 'float64_t' but got 'float'"),
])
def test_array_argument_errors(replace, error, message):
    with pytest.raises(error) as info:
        portsim.backtest_(**arrays(**replace))
    assert str(info.value) == message


def test_ndarray_subclasses_and_any_strides_are_accepted():
    class Sub(np.ndarray):
        pass

    wide = np.array([[10.0, 0.0, 10.0], [10.0, 0.0, 10.0], [20.0, 0.0, 10.0]])
    price = wide[:, ::2]  # strided columns
    weights = np.asfortranarray([[0.5, 0.5]]).view(Sub)
    res = portsim.backtest_(price, price, price, price, price, I, names(2), weights,
                            I[:1], names(2), I, **NO_COSTS)
    assert res.tolist() == [1.0, 1.0, 1.5]


def test_argument_errors_leave_module_state_alone():
    run([[10]] * 3, [[1.0]], periodically_rebalance=False)
    before = portsim.get_stock_operations()
    trades = list(excursion.trades)
    with pytest.raises(ValueError):
        portsim.backtest_(**arrays(price_values=P.astype(np.float32)), periodically_rebalance=True)
    assert portsim.RESAMPLE is False
    assert portsim.get_stock_operations() == before
    assert excursion.trades == trades


def test_none_arrays_that_a_run_can_do_without():
    p = np.full((3, 1), 10.0)
    res = portsim.backtest_(p, None, None, None, None, I, C, np.zeros((1, 1)), I[:1], C, I)
    assert res.tolist() == [1.0, 1.0, 1.0]
    res = portsim.backtest_(p, p, None, None, None, I, C, np.ones((1, 1)), I[:1], C, I)
    assert res.tolist() == [1.0, 1.0 - 0.001425, 1.0 - 0.001425]
