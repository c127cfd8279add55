import re
import subprocess
import sys
import tomllib
from importlib.metadata import version
from pathlib import Path

import quorvalis as qv


def test_one_version_in_the_package_the_command_and_pyproject():
    assert re.fullmatch(r"\d+\.\d+\.\d+\S*", qv.__version__) and qv.__version__ == version("quorvalis")
    pyproject = Path(__file__).parents[2] / "pyproject.toml"
    if pyproject.exists():  # a source tree; an installed wheel's tests run without one
        assert qv.__version__ == tomllib.loads(pyproject.read_text())["project"]["version"]
    run = subprocess.run([sys.executable, "-m", "quorvalis", "--version"], capture_output=True, text=True,
                         check=False)
    assert (run.returncode, run.stdout) == (0, f"quorvalis {qv.__version__}\n")
