"""The two backends give the same records.  The CUDA backend (kernel objects
from the loader in a table by KernelId, CuPy's argument tuples, attribute
checks, copies through memory pointers) is run here without a GPU, against a
stand-in CuPy built from the host stand-in whose kernel objects are the host
library's; every launch then takes the CUDA backend's path."""
import os
import subprocess
import sys
import tempfile

FAKE_CUPY = """
from tarnex.zel.host.array import *  # noqa: F401,F403
from tarnex.zel.host.array import RawModule, cuda, ndarray  # noqa: F401

__version__ = "14.1.0"


class _Driver:
    class CUDADriverError(Exception):
        pass


cuda.driver = _Driver
"""

PROGRAM = """
import hashlib
import numpy as np
import tarnex.zel.zel as z

rng = np.random.default_rng(7)
a = z.Tensor(rng.standard_normal((3, 4)))
b = z.Tensor(rng.standard_normal((3, 4)))
m = z.Tensor(rng.standard_normal((4, 5)))
s = z.reshape(z.Tensor(rng.standard_normal(2 * 3 * 3)), (2, 3, 3))
results = [z.add(a, b), z.mul(a, b), z.exp(a), z.sum(a), z.mm(a, m), z.bmm(s, s), z.where(z.lt(a, b), a, b),
           z.cumsum(a), z.clamp(a, -0.5, 0.5), z.transpose(a, 0, 1), z.trace(z.mm(a, z.transpose(a, 0, 1))), a.clone(),
           z.add(a, z.tensor([1.0, 2.0, 3.0, 4.0]))]
print(z.device)
for r in results:
    print(hashlib.sha256(r._data.get().tobytes()).hexdigest())
print(z._get_kernel("fp_add_kernel") is z._get_kernel("fp_add_kernel"))
"""


def _run(tmp_path, device):
    env = dict(os.environ, ZEL_DEVICE=device)
    if device == "cuda":
        (tmp_path / "cupy").mkdir(exist_ok=True)
        (tmp_path / "cupy" / "__init__.py").write_text(FAKE_CUPY)
        path = os.environ.get("PYTHONPATH")
        env["PYTHONPATH"] = str(tmp_path) + (os.pathsep + path if path else "")
    res = subprocess.run([sys.executable, "-c", PROGRAM], capture_output=True, text=True, env=env,
                         cwd=tempfile.gettempdir(), timeout=300)
    assert res.returncode == 0, res.stderr
    return res.stdout.splitlines()


def test_the_cuda_backend_path_gives_the_host_backends_records(tmp_path):
    host = _run(tmp_path, "host")
    cuda = _run(tmp_path, "cuda")
    assert host[0] == "host" and cuda[0] == "cuda"
    assert len(host) == 15 and host[1:] == cuda[1:]
