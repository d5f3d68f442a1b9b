"""What the benchmarks take from the tests, in one import (`from shared import ...`): the
harness, the local stores (moto's from tools/), the relay, the release statement and the Wine helpers. The tests'
harness puts the project's other Python (tools/, publisher/) on the path."""

import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "tests"), str(ROOT / "tests" / "windows")]

from harness import clean_environment, ended_after  # noqa: E402,F401  (first: it puts tools/ on the path)
import local_s3  # noqa: E402,F401
import release_statement  # noqa: E402,F401
import seaweedfs  # noqa: E402,F401
from project import BUCKET, EXE_NAME  # noqa: E402,F401
from relay import Relay  # noqa: E402,F401
from s3_servers import moto_server, seaweedfs_server  # noqa: E402,F401
from windows_harness import Wine, booted, windows_path  # noqa: E402,F401
