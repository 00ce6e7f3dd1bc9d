"""Where the public HTTP/2 test data lives: $QUILLON_TESTDATA, else a
`shared/testdata` folder beside the checkout or one of its ancestors, else
the copy packed in tests/data (HPACK stories and frame vectors, MIT
licensed; their licences are inside), unpacked once into build/."""

import os
import pathlib
import tarfile

HERE = pathlib.Path(__file__).resolve().parent
PACKED = HERE / "data" / "h2-testdata.tar.xz"
UNPACKED = HERE.parent / "build" / "h2-testdata"


def h2_data_dir() -> pathlib.Path:
    env = os.environ.get("QUILLON_TESTDATA")
    if env:
        return pathlib.Path(env)
    for parent in HERE.parents:
        if (parent / "shared" / "testdata" / "hpack").is_dir():
            return parent / "shared" / "testdata"
    if not (UNPACKED / "hpack").is_dir():
        tmp = UNPACKED.with_name(UNPACKED.name + f".{os.getpid()}")
        with tarfile.open(PACKED) as tar:
            tar.extractall(tmp, filter="data")
        for tsv in (HERE / "data").glob("*.tsv"):
            (tmp / tsv.name).write_bytes(tsv.read_bytes())
        try:
            tmp.rename(UNPACKED)
        except OSError:  # another process unpacked it first
            pass
    return UNPACKED
