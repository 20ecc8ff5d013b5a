import contextlib
import io
import json
import pathlib
import re

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def test_python_example_runs_and_prints_what_it_says():
    text = README.read_text(encoding="utf-8")
    code = re.search(r"```python\n(.*?)```", text, re.S).group(1)
    # The reply the example shows in its closing comment lines.
    shown = "".join(line.lstrip("# ").strip() for line in code.splitlines()
                    if line.startswith("#"))
    output = io.StringIO()
    with contextlib.redirect_stdout(output):
        exec(compile(code, str(README), "exec"), {})
    printed = output.getvalue().strip()
    assert json.loads(printed) == json.loads(shown)
    assert printed == shown
