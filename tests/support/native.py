"""The protocol core's native test drivers, built once per run with the project's CMake
(core only, no Python involved)."""
from __future__ import annotations

import functools
import shutil
import subprocess
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]


@functools.lru_cache(maxsize=None)
def drivers() -> Path:
    """Folder of the built drivers (test_platform, group_mask_driver)."""
    build = REPO / "build" / "native-tests"
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    if not (build / "CMakeCache.txt").exists():
        subprocess.run(["cmake", "-S", str(REPO), "-B", str(build), *generator,
                        "-DORBISYN_CORE_ONLY=ON", "-DCMAKE_BUILD_TYPE=Debug"],
                       check=True, capture_output=True, text=True)
    subprocess.run(["cmake", "--build", str(build), "--target", "test_platform",
                    "group_mask_driver"], check=True, capture_output=True, text=True)
    return build / "tests" / "native"
