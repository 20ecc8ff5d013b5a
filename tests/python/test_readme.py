"""The Python examples of the README and the docs run and print what they say.

A comment line right after a line of code, and the comment lines following
it, show what the code printed.
"""

import contextlib
import io
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
PAGES = ["README.md", "docs/python.md"]


def examples():
    for page in PAGES:
        text = (ROOT / page).read_text(encoding="utf-8")
        for index, code in enumerate(re.findall(r"```python\n(.*?)```", text, re.DOTALL)):
            yield pytest.param(page, code, id=f"{page}-{index}")


def shown_output(code):
    shown, in_run, after_code = [], False, False
    for line in code.splitlines():
        stripped = line.strip()
        if stripped.startswith("#"):
            in_run = in_run or after_code
            if in_run:
                shown.append(stripped[2:])
            after_code = False
        else:
            in_run, after_code = False, bool(stripped)
    return shown


@pytest.mark.parametrize(("page", "code"), list(examples()))
def test_example_runs_and_prints_what_it_says(page, code):
    output = io.StringIO()
    with contextlib.redirect_stdout(output):
        exec(compile(code, str(ROOT / page), "exec"), {})
    assert output.getvalue().splitlines() == shown_output(code)
    assert shown_output(code)  # an example that shows nothing proves nothing


def test_readme_replay_example_shows_the_real_output(tmp_path):
    import os
    import subprocess
    import sys

    text = (ROOT / "README.md").read_text(encoding="utf-8")
    commands = re.search(r"```sh\n(fenmor-radar sample.*?)```", text, re.DOTALL).group(1).splitlines()
    shown = re.search(r"```\n(events .*?)```", text, re.DOTALL).group(1).splitlines()
    env = {**os.environ, "COLUMNS": "90"}
    output = ""
    for command in commands:
        args = command.split("#")[0].split()[1:]
        result = subprocess.run([sys.executable, "-m", "fenmor_radar", *args], cwd=tmp_path,
                                env=env, capture_output=True, timeout=300, check=False)
        assert result.returncode == 0, result.stderr
        output = result.stdout.decode("utf-8")
    assert all(line in output.splitlines() for line in shown if line != "...")
