import os
import subprocess
import sys

import pytest


@pytest.fixture
def core():
    import qalto.core
    return qalto.core


def run_isolated(code: str) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter (for tests of process-wide objects)."""
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=dict(os.environ), timeout=120)
