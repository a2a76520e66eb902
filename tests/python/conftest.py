import pathlib
import sys

import pytest

# Helper modules beside the tests (stream builders) import by plain name.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

REPO = pathlib.Path(__file__).resolve().parents[2]
# Two sample logs are bundled with the repository; the larger corpus sits
# beside it, and a clone may not have it.
BUNDLED = REPO / "samples"
SAMPLES = REPO.parent / "shared" / "samples"
CORPUS_MISSING = f"sample corpus not found at {SAMPLES}"


def sample_files(*suffixes):
    """The sample logs with these suffixes: the bundled ones, and the corpus's
    when it is there (one path per name; the bundled copies are identical)."""
    found = {p.name: p for p in BUNDLED.iterdir() if p.suffix in suffixes}
    if SAMPLES.is_dir():
        for p in SAMPLES.iterdir():
            if p.suffix in suffixes:
                found.setdefault(p.name, p)
    return sorted(found.values())


def sample_path(name):
    """The path of one sample log; the test skips if only the missing corpus has it."""
    if (BUNDLED / name).is_file():
        return BUNDLED / name
    if not SAMPLES.is_dir():
        pytest.skip(CORPUS_MISSING)
    return SAMPLES / name


@pytest.fixture
def samples_dir():
    if not SAMPLES.is_dir():
        pytest.skip(CORPUS_MISSING)
    return SAMPLES


def _paths_named_by(item):
    """The paths a test is given as parameters or reads from module constants
    its own code names."""
    values = list(getattr(getattr(item, "callspec", None), "params", {}).values())
    function = getattr(item, "function", None)
    if function is not None:
        values += [function.__globals__.get(name) for name in function.__code__.co_names]
    return [v for v in values if isinstance(v, pathlib.PurePath)]


def pytest_runtest_setup(item):
    # Without the corpus, a test that reads one of its logs skips instead of
    # failing on the missing file.
    if not SAMPLES.is_dir() and any(SAMPLES in p.parents for p in _paths_named_by(item)):
        pytest.skip(CORPUS_MISSING)


def pytest_addoption(parser):
    parser.addoption("--module-only", action="store_true",
                     help="run the Quillon module's tests only, not the product layer's "
                          "(test_tools_*), for an install without its dependencies")


def pytest_ignore_collect(collection_path, config):
    if config.getoption("module_only") and collection_path.name.startswith("test_tools_"):
        return True
    return None
