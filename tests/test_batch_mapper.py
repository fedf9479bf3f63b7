"""RowMapper without a cluster: the batch formats Ray and Dask hand it, and a
trip through pickle into a process of its own, tools included."""

from __future__ import annotations

import multiprocessing
import pickle
import sys
from pathlib import Path

import pytest

from quorvel.batch import RowMapper
from quorvel.modal import LLModal
from quorvel.testing import ChatServer, Reply
from quorvel.tools import Tools

sys.path.insert(0, str(Path(__file__).parent / "support"))
from batch_tools import add  # noqa: E402
from echo_server import EchoServer  # noqa: E402


def _map_in_child(pickled: bytes, batch: dict) -> dict:
    return pickle.loads(pickled)(batch)


@pytest.fixture(scope="module")
def echo():
    with EchoServer() as server:
        yield server


def test_columns_in_lists_and_every_row_is_its_own_conversation(echo):
    template = LLModal(endpoint_url=echo.url, system_prompt="Be brief.")
    mapper = RowMapper(template, prompt_key="question", output_key="reply")
    result = mapper({"question": ["a", "b", 7], "id": [1, 2, 3]})
    assert result["id"] == [1, 2, 3]
    assert result["reply"] == ["echo: a", "echo: b", None]
    assert result["reply_error"][:2] == [None, None]
    assert "prompt must be text" in result["reply_error"][2]
    assert template.messages == [] and mapper.template.messages == []


def test_numpy_columns_stay_arrays():
    numpy = pytest.importorskip("numpy")
    with ChatServer() as server:
        server.add(Reply.text("one"), Reply.status(500, {"error": {"message": "down"}}))
        result = RowMapper(LLModal(endpoint_url=server.url))({"prompt": numpy.array(["x", "y"])})
    assert isinstance(result["answer"], numpy.ndarray) and list(result["answer"]) == ["one", None]
    assert result["answer_error"][0] is None and "down" in result["answer_error"][1]


def test_pandas_frames_get_the_columns_added(echo):
    pandas = pytest.importorskip("pandas")
    frame = pandas.DataFrame({"prompt": ["p", "q"], "n": [1, 2]})
    result = RowMapper(LLModal(endpoint_url=echo.url))(frame)
    assert list(result.columns) == ["prompt", "n", "answer", "answer_error"]
    assert result["answer"].tolist() == ["echo: p", "echo: q"]
    assert list(frame.columns) == ["prompt", "n"]


def test_a_missing_prompt_column_is_named(echo):
    with pytest.raises(KeyError, match="prompt"):
        RowMapper(LLModal(endpoint_url=echo.url))({"text": ["x"]})


def test_the_mapper_pickles_with_its_tools_into_another_process():
    with ChatServer() as server:
        server.add(Reply.tool_calls([("call_1", "add", {"a": 2, "b": 3})]), Reply.text("5"))
        template = LLModal(endpoint_url=server.url, tools=Tools(add), tool_calls_limit=1)
        template.tools.schemas  # built argument models must not stop the registry from pickling
        pickled = pickle.dumps(RowMapper(template))
        with multiprocessing.get_context("spawn").Pool(1) as pool:
            result = pool.apply(_map_in_child, (pickled, {"prompt": ["2 + 3?"]}))
        assert result["answer"] == ["5"]
        assert server.requests[1].json["messages"][-1] == {"role": "tool", "tool_call_id": "call_1", "content": "5"}
        assert server.requests[0].json["tools"] == template.tools.schemas
