"""Fixtures for the coordinator tests (see server_process.py)."""

import pytest

from server_process import Server


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: waits for the coordinator's multi-second deadlines")


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    """One coordinator shared by a test module; tests use fresh namespaces."""
    srv = Server(tmp_path_factory.mktemp("coord") / "stderr")
    yield srv
    srv.stop()


@pytest.fixture
def fresh_server(tmp_path):
    """A coordinator of its own, for tests that fill global limits."""
    srv = Server(tmp_path / "stderr")
    yield srv
    srv.stop()


@pytest.fixture
def client(server):
    with server.client() as c:
        yield c
