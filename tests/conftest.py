import glob
import os
import shutil
import subprocess
import sys
import textwrap

import pytest
from hypothesis import HealthCheck, settings

HERE = os.path.dirname(os.path.abspath(__file__))

# Property tests call into threaded code: no per-example deadline. The
# sanitizer lanes of the Makefile select the short profile.
settings.register_profile(
    "suite",
    max_examples=100,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.register_profile("sanitize", settings.get_profile("suite"), max_examples=15)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "suite"))


@pytest.fixture(scope="session")
def fault_shim(tmp_path_factory):
    """Path of the thread-creation shim, compiled for this test session."""
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler to build the fault shim")
    out = tmp_path_factory.mktemp("shim") / "faultshim.so"
    subprocess.run(
        [cc, "-O1", "-shared", "-fPIC", "-o", str(out), os.path.join(HERE, "faultshim.c"), "-ldl"],
        check=True,
    )
    return str(out)


@pytest.fixture
def run_shimmed(fault_shim):
    """Runs Python code in a fresh interpreter with the shim preloaded.

    The code sees `shim` (the ctypes handle) and returns what it prints."""
    prelude = textwrap.dedent(f"""
        import ctypes, sys
        sys.path.insert(0, {HERE!r})
        from cases import threads_alive, threads_back_to
        shim = ctypes.CDLL({fault_shim!r})
        shim.faultshim_created.restype = ctypes.c_long
        shim.faultshim_fail_at.argtypes = [ctypes.c_long]
    """)

    def run(code):
        # after a sanitizer runtime the test lanes preload, which must stay first
        preload = (os.environ.get("LD_PRELOAD", "") + " " + fault_shim).strip()
        env = dict(os.environ, LD_PRELOAD=preload)
        proc = subprocess.run(
            [sys.executable, "-c", prelude + textwrap.dedent(code)],
            env=env,
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert proc.returncode == 0, proc.stderr
        return proc.stdout

    return run


def other_cpythons():
    """CPython interpreters of other minor versions found on this machine."""
    try:
        root = subprocess.run(["pyenv", "root"], capture_output=True, text=True).stdout.strip()
    except OSError:
        root = os.path.expanduser("~/.pyenv")
    found = {}
    for exe in sorted(
        glob.glob(os.path.join(root or "", "versions", "3.*", "bin", "python3"))
        + glob.glob("/usr/bin/python3.[0-9]*")
    ):
        if not os.access(exe, os.X_OK) or exe.endswith("-config"):
            continue
        v = subprocess.run(
            [exe, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
            capture_output=True,
            text=True,
        )
        ver = v.stdout.strip()
        if v.returncode == 0 and ver != "3.13" and ver.startswith("3.") and int(ver[2:]) >= 8:
            found.setdefault(ver, exe)
    return sorted(found.items())


REFUSAL = """
import importlib.machinery as m, importlib.util as u, os, sys
sys.setdlopenflags(os.RTLD_LAZY)  # reach the module's own check before symbol lookup
name, path = sys.argv[1:]
spec = u.spec_from_file_location(name, path, loader=m.ExtensionFileLoader(name, path))
try:
    u.module_from_spec(spec)
except ImportError as e:
    print(e)
"""


def import_refusal(exe, module):
    """What another interpreter says when it loads `module`'s file, and the
    message the module must give it."""
    out = subprocess.run(
        [exe, "-c", REFUSAL, module.__name__, module.__file__],
        capture_output=True,
        text=True,
        timeout=60,
    )
    full = subprocess.run(
        [exe, "-c", "import sys; print(sys.version)"], capture_output=True, text=True
    ).stdout.strip()
    return out.stdout.strip(), (
        "Python version mismatch: module was compiled for Python 3.13, "
        f"but the interpreter version is incompatible: {full}."
    )


OTHER_CPYTHONS = other_cpythons() or [
    pytest.param(
        None, None, marks=pytest.mark.skip(reason="no CPython other than 3.13 on this machine")
    )
]
