"""RowMapper on a real local Ray instance (skipped where ray is not installed;
CI installs it in a step of its own)."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

ray = pytest.importorskip("ray")
pytest.importorskip("ray.data")

from quorvel.batch import RowMapper  # noqa: E402
from quorvel.modal import LLModal  # noqa: E402

sys.path.insert(0, str(Path(__file__).parent / "support"))
from echo_server import EchoServer  # noqa: E402

ROWS = 1000


@pytest.fixture(scope="module")
def local_ray():
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, configure_logging=False)
    yield
    ray.shutdown()


@pytest.mark.parametrize("stream", [False, True], ids=["whole", "streamed"])
def test_map_batches_answers_every_row_as_its_own_conversation(local_ray, stream):
    with EchoServer(chunks=4) as server:
        template = LLModal(
            endpoint_url=server.url, system_prompt="Be brief.", extra_body={"model": "m", "stream": stream}
        )
        dataset = ray.data.from_items([{"id": i, "prompt": f"question {i}"} for i in range(ROWS)])
        rows = dataset.map_batches(
            RowMapper,
            fn_constructor_kwargs={"template": template, "output_key": "reply"},
            batch_size=100,
            concurrency=2,
        ).take_all()
        assert server.count() == ROWS
    tail = "..." if stream else ""
    assert sorted(row["id"] for row in rows) == list(range(ROWS))
    assert all(row["reply"] == f"echo: question {row['id']}{tail}" for row in rows)
    assert all(row["reply_error"] is None for row in rows)
    # Each row was a conversation of its own: the template never grew.
    assert template.messages == []
