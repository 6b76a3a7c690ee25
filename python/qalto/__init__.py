"""qalto: map and run neural-network models on the accelerator chips."""
from . import core  # noqa: F401
