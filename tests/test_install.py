"""The built wheel installs on its own: the corvane command and its subcommands run from a folder
outside the checkout, in a fresh virtual environment that borrows only the dependencies."""
import subprocess
import sys
import sysconfig
import venv
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


@pytest.mark.slow
def test_the_wheel_gives_the_corvane_command_outside_the_checkout(tmp_path):
    wheels = tmp_path / "wheels"
    subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-deps", "--no-build-isolation", "-q",
                    "-w", str(wheels), str(ROOT)], check=True, cwd=tmp_path)
    (wheel,) = wheels.glob("corvane-*.whl")

    env_dir = tmp_path / "fresh"
    venv.create(env_dir, with_pip=False)
    python = env_dir / "bin" / "python"
    subprocess.run([sys.executable, "-m", "pip", "--python", str(python), "install", "--no-deps", "-q",
                    str(wheel)], check=True, cwd=tmp_path)
    # Then the dependencies, from this interpreter's site-packages, after the fresh environment's
    # own (had pip seen them, it would have taken this environment's corvane as installed already).
    site = next((env_dir / "lib").glob("python3*/site-packages"))
    (site / "zz_dependencies.pth").write_text(sysconfig.get_paths()["purelib"] + "\n")

    outside = tmp_path / "elsewhere"
    outside.mkdir()
    for command in (["corvane", "--help"], ["corvane", "emulator", "--help"], ["corvane", "studio", "--help"],
                    ["corvane", "demo", "--help"]):
        run = subprocess.run([str(env_dir / "bin" / command[0]), *command[1:]], cwd=outside,
                             capture_output=True, text=True, timeout=120, env={"PATH": "/usr/bin:/bin"})
        assert run.returncode == 0, run.stderr
        assert "usage: " + " ".join(command[:-1]) in run.stdout
    # What the modules and the package are loaded from: the fresh environment, not the checkout.
    where = subprocess.run([str(python), "-c", "import corvane.facts, capture_hub;"
                            "print(corvane.facts.__file__); print(capture_hub.__file__)"],
                           cwd=outside, capture_output=True, text=True, timeout=120)
    assert where.returncode == 0, where.stderr
    assert all(line.startswith(str(env_dir)) for line in where.stdout.split()), where.stdout
