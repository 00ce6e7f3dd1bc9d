import os
import sys

# A developer build (see README) is imported in place of the installed module.
_build = os.environ.get("QUILLON_BUILD_DIR")
if _build:
    sys.path.insert(0, os.path.abspath(_build))
