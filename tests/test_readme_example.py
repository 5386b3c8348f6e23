"""The README's host example runs as written: record, combine, train, place, decode."""
import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[1] / "README.md"


@pytest.mark.slow
def test_the_readme_host_example_runs_as_written(tmp_path):
    section = README.read_text().split("## Use it from Python", 1)[1]
    code = re.search(r"```python\n(.*?)```", section, re.S)[1]
    assert len(code.strip().splitlines()) <= 20
    run = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=900)
    assert run.returncode == 0, run.stderr[-3000:]
    assert "'kind': 'window'" in run.stdout                 # live_pilot decoded windows
    assert "{'acknowledged': True" in run.stdout            # and the controller took the stop
    assert (tmp_path / "my_study" / "artefacts" / "scaler.pkl").exists()
