import os
import sys

# A developer build (see README) is imported in place of the installed module.
_build = os.environ.get("QUILLON_BUILD_DIR")
if _build:
    sys.path.insert(0, os.path.abspath(_build))

# The package is tested from the tree, beside whichever module build is in use;
# servers started as subprocesses see the same.
SRC = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src")
sys.path.insert(0, SRC)
os.environ["PYTHONPATH"] = os.pathsep.join(
    p for p in (SRC, os.path.abspath(_build) if _build else "", os.environ.get("PYTHONPATH", "")) if p)
