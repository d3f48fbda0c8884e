"""The third-party packages veltrix_env needs, checked once with a message that says how to get them."""

from __future__ import annotations

import importlib

INSTALL_HINT = "pip install 'veltrix[rl]'"


def require(*modules: str) -> None:
    """Imports each module or raises ImportError naming the missing ones and the install command."""
    missing = []
    for name in modules:
        try:
            importlib.import_module(name)
        except ImportError:
            missing.append(name)
    if missing:
        raise ImportError(f"veltrix_env needs {', '.join(missing)}, which is not installed: {INSTALL_HINT}")
