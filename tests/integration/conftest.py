"""The environments under the real RL libraries. `scripts/test.sh` runs this folder on Python 3.11
in its own venv with the `[integration]` extra; a library that cannot be installed skips its tests
with the reason shown by `-ra`."""

import warnings

import pytest


@pytest.fixture(autouse=True)
def quiet_library_advice():
    # The libraries advise on observation layouts (dict observations, 20 x 20 "images") and on
    # deprecations of their own; none of it is a failure of ours.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        warnings.simplefilter("ignore", DeprecationWarning)
        yield

