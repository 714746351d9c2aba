import os

os.environ.setdefault("ZEL_DEVICE", "host")

import pytest  # noqa: E402


@pytest.fixture(scope="session")
def zel():
    import tarnex.zel.zel as module

    return module
