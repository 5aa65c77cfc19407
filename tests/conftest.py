import pytest

import fieldloom


@pytest.fixture(scope="session")
def fl():
    return fieldloom
