"""`python -m tarnex.zel`: the installation report and its self-check."""
import os
import subprocess
import sys
import tempfile


def run_main(**env):
    return subprocess.run([sys.executable, "-m", "tarnex.zel"], capture_output=True, text=True,
                          env=dict(os.environ, **env), cwd=tempfile.gettempdir(), timeout=120)


def test_report_and_self_check_pass_on_the_host():
    res = run_main(ZEL_DEVICE="host", ZEL_HOST_KERNELS="host")
    assert res.returncode == 0, res.stdout + res.stderr
    lines = res.stdout.splitlines()
    assert lines[0].startswith("tarnex.zel ")
    assert "device: host" in lines
    assert any(line.startswith("kernels: _host_kernels") for line in lines)
    gmp = next(line for line in lines if line.startswith("GMP: "))
    assert gmp.split()[1][0].isdigit(), gmp
    checks = [line for line in lines if line.startswith("  ")]
    assert len(checks) >= 5 and all(line.startswith("  ok") for line in checks)


def test_device_branch_kernels_pass_the_self_check():
    res = run_main(ZEL_DEVICE="host", ZEL_HOST_KERNELS="device-branches")
    assert res.returncode == 0, res.stdout + res.stderr
    assert any(line.startswith("kernels: _sim_kernels") for line in res.stdout.splitlines())


def test_a_broken_setting_exits_non_zero_with_the_reason():
    res = run_main(ZEL_DEVICE="tpu")
    assert res.returncode == 1
    assert "import failed: RuntimeError: ZEL_DEVICE must be one of" in res.stdout
