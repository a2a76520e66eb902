import pathlib
import sys

import pytest

# Helper modules beside the tests (stream builders) import by plain name.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

SAMPLES = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "samples"


def sample_files(*suffixes):
    if not SAMPLES.is_dir():
        return []
    return sorted(p for p in SAMPLES.iterdir() if p.suffix in suffixes)


@pytest.fixture
def samples_dir():
    if not SAMPLES.is_dir():
        pytest.skip(f"sample logs not found at {SAMPLES}")
    return SAMPLES
