import faulthandler
import os
import sys

os.environ.setdefault("ZEL_DEVICE", "host")

import pytest  # noqa: E402



@pytest.fixture(scope="session")
def zel():
    import tarnex.zel.zel as module

    return module


def _real_stderr(config):
    """A descriptor of the terminal's stderr, outside the output capture."""
    capman = config.pluginmanager.getplugin("capturemanager")
    if capman is None:
        return os.dup(2)
    with capman.global_and_fixture_disabled():
        return os.dup(sys.stderr.fileno())


def _per_test_limit(config):
    for get in (lambda: config.getoption("timeout"), lambda: config.getini("timeout")):
        try:
            value = get()
        except (ValueError, KeyError):
            continue
        if value:
            return float(value)
    return 300.0


_ERR = None


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_protocol(item, nextitem):
    # pytest-timeout's watchdog is a Python thread and cannot run while
    # native code spins holding the interpreter lock (the exact algebra does);
    # faulthandler's watchdog is a C thread, so at twice the per-test limit
    # the run still ends, with tracebacks and exit status 1.
    global _ERR
    if _ERR is None:
        _ERR = _real_stderr(item.config)
    faulthandler.dump_traceback_later(2 * _per_test_limit(item.config), exit=True, file=_ERR)
    try:
        yield
    finally:
        faulthandler.cancel_dump_traceback_later()
