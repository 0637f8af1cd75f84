"""The README's cookbook runs as written."""
import os
import re

from conftest import ROOT


def test_cookbook_runs():
    with open(os.path.join(ROOT, "README.md")) as f:
        text = f.read()
    section = text[text.index("## Cookbook"):text.index("\n## ", text.index("## Cookbook") + 1)]
    blocks = re.findall(r"```python\n(.*?)```", section, re.S)
    assert blocks
    for block in blocks:
        exec(compile(block, "README.md cookbook", "exec"), {})
