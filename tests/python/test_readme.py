"""The README's quick start, run as written: the Python block, then the shell commands."""

import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

import plintrove

README = (Path(__file__).parents[2] / "README.md").read_text()


def quick_start_blocks():
    section = README.split("## Quick start", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"```(\w*)\n(.*?)```", section, flags=re.S)


def run(args, cwd):
    # The package as this test imports it, also from the fresh working directory.
    env = {**os.environ, "PYTHONPATH": str(Path(plintrove.__file__).parents[1])}
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=60,
                          cwd=cwd, env=env)


def test_quick_start_runs_as_written(tmp_path):
    blocks = quick_start_blocks()
    [python] = [code for lang, code in blocks if lang == "python"]
    result = run(["-c", python], tmp_path)
    assert result.returncode == 0, result.stderr
    assert "FunctionStats(function_name='rank'" in result.stdout

    shell = [line for lang, code in blocks if lang == "" for line in code.splitlines()
             if line.startswith("plintrove-tracking")]
    assert len(shell) == 3
    for line in shell:
        args = shlex.split(line)[1:]
        done = run(["-m", "plintrove", *args], tmp_path)
        assert done.returncode == 0, (line, done.stderr)
    assert (tmp_path / "report.html").stat().st_size > 0
