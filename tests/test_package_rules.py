"""How the installed package is put together: the environment is written in one place, the studio
does not reach into the demo, and nothing imports the development tools."""
import re
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parents[1] / "python" / "corvane"
BOUNDARY = PACKAGE / "pipeline" / "environment.py"

WRITES_ENVIRONMENT = re.compile(r"os\.environ\s*\[[^]]+\]\s*=|os\.environ\.(update|setdefault|pop|clear)\(|"
                                r"os\.(putenv|unsetenv)\(|(?<![\w.])environ\[[^]]+\]\s*=")
IMPORTS_DEMO = re.compile(r"^\s*(from\s+corvane\.demo\b|import\s+corvane\.demo\b|from\s+corvane\s+import\s+.*\bdemo\b)",
                          re.M)
IMPORTS_TOOLS = re.compile(r"^\s*(from\s+tools[.\s]|import\s+tools\b)", re.M)


def sources(folder):
    return sorted((PACKAGE / folder).rglob("*.py"))


RULES = [
    ("writes os.environ outside the boundary", "", WRITES_ENVIRONMENT, {BOUNDARY}),
    ("imports the demo", "studio", IMPORTS_DEMO, set()),
    ("imports the development tools", "", IMPORTS_TOOLS, set()),
]


@pytest.mark.parametrize("rule, folder, pattern, allowed", RULES, ids=[rule[0] for rule in RULES])
def test_package_rule(rule, folder, pattern, allowed):
    files = sources(folder)
    assert files and BOUNDARY in sources("")
    offenders = [f"{path.relative_to(PACKAGE)}:{text.count(chr(10), 0, match.start()) + 1}"
                 for path in files if path not in allowed
                 for text in [path.read_text()] for match in pattern.finditer(text)]
    assert not offenders, f"{rule}: {offenders}"


def test_the_rules_catch_what_they_look_for():
    assert WRITES_ENVIRONMENT.search('    os.environ["CORVANE_PATH"] = str(base)')
    assert WRITES_ENVIRONMENT.search("os.environ.setdefault('X', '1')")
    assert not WRITES_ENVIRONMENT.search('port = os.environ.get("CORVANE_SERIAL_PORT")')
    assert not WRITES_ENVIRONMENT.search('env = dict(os.environ, TMPDIR=folder)')
    assert IMPORTS_DEMO.search("    from corvane.demo.cues import CuePlayer")
    assert IMPORTS_DEMO.search("from corvane import demo")
    assert IMPORTS_TOOLS.search("from tools.studio import app")
