"""The service units as systemd's own tools read them: exposure rating and verification."""

import os
import re
import shutil
import subprocess

import pytest

from conftest import TOP

ANALYZE = shutil.which("systemd-analyze")
pytestmark = pytest.mark.skipif(ANALYZE is None, reason="systemd-analyze is not installed")

# unit file, program it starts, user unit?, highest exposure accepted
UNITS = [
    ("qarg.service", "qarg", False, 6.0),
    ("lumo-session.service", "qars", True, 4.0),
]
EXPOSURE = re.compile(r"Overall exposure level for \S+: (\d+\.\d+)")


def unit_path(name):
    return os.path.join(TOP, "dist", name)


def exposure(path):
    done = subprocess.run([ANALYZE, "security", "--offline=true", "--no-pager", path],
                          capture_output=True, text=True, timeout=60, check=False)
    found = EXPOSURE.search(done.stdout)
    assert found, done.stdout + done.stderr
    return float(found.group(1))


@pytest.mark.parametrize("name, program, user, limit", UNITS, ids=[u[0] for u in UNITS])
def test_exposure_is_within_limit(name, program, user, limit):
    del program, user
    assert exposure(unit_path(name)) <= limit


def test_rating_tells_a_hardened_unit_from_a_bare_one(tmp_path):
    bare = tmp_path / "bare.service"
    bare.write_text("[Service]\nExecStart=/usr/bin/qarg\n")
    assert exposure(str(bare)) > 9.0
    assert exposure(unit_path("qarg.service")) < exposure(str(bare)) - 3


@pytest.mark.parametrize("name, program, user, limit", UNITS, ids=[u[0] for u in UNITS])
def test_unit_verifies_cleanly(tmp_path, build_dir, name, program, user, limit):
    """verify needs the started program to exist: the built one stands in for /usr/bin's."""
    del limit
    binary = os.path.join(build_dir, "bin", program)
    if not os.access(binary, os.X_OK):
        pytest.skip("%s is not built" % program)
    with open(unit_path(name), encoding="utf-8") as f:
        text = f.read()
    assert "ExecStart=/usr/bin/%s\n" % program in text
    unit = tmp_path / name
    unit.write_text(text.replace("/usr/bin/" + program, binary))
    runtime = tmp_path / "runtime"
    runtime.mkdir(mode=0o700)
    env = dict(os.environ, XDG_RUNTIME_DIR=str(runtime), SYSTEMD_LOG_LEVEL="notice")
    argv = [ANALYZE, "verify", "--man=no"] + (["--user"] if user else []) + [str(unit)]
    done = subprocess.run(argv, capture_output=True, text=True, env=env, timeout=60,
                          check=False)
    # systemd ignores a setting it cannot parse with only a warning: any output fails.
    assert (done.returncode, done.stdout + done.stderr) == (0, "")
