"""``RowMapper``: a batch of a distributed data set, one conversation per row.

Made for Ray Data's ``Dataset.map_batches`` (a callable class: each worker
builds one mapper and keeps it, so each worker keeps one pooled connection)
and for Dask's ``DataFrame.map_partitions``.  The rows of a batch run one
after another on the worker's thread; the data set's own parallelism
(``concurrency=`` in Ray) decides how many run at once.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

from quorvel.batch.conversation import ask, conversation, copy_template
from quorvel.batch.rows import Row

if TYPE_CHECKING:
    from quorvel.modal import LLModal

__all__ = ["RowMapper"]


class RowMapper:
    """Answers the prompt of every row of a batch, each as its own
    conversation on a copy of ``template``.

    A batch is a mapping of columns (Ray's ``"numpy"`` and ``"default"``
    formats, or lists) or a pandas DataFrame (Ray's ``"pandas"`` format,
    Dask).  The result is the same kind of batch with two more columns:
    ``output_key`` (the answer text, None for a row that failed) and
    ``output_key + "_error"`` (None, or the text of the row's error).  A failed
    row does not fail the batch.

    Instances pickle (the template with them, its tool functions by
    reference), as Ray and Dask need.
    """

    def __init__(self, template: LLModal, prompt_key: str = "prompt", output_key: str = "answer") -> None:
        if not hasattr(template, "invoke") or not hasattr(template, "model_copy"):
            raise TypeError(f"template must be an LLModal, got {type(template).__name__}")
        for name, key in (("prompt_key", prompt_key), ("output_key", output_key)):
            if not isinstance(key, str) or not key:
                raise TypeError(f"{name} must be a non-empty str")
        self.template = copy_template(template)
        self.prompt_key = prompt_key
        self.output_key = output_key
        self.error_key = output_key + "_error"

    def _answer(self, prompt: Any) -> tuple[str | None, str | None]:
        if not isinstance(prompt, str):
            return None, f"the prompt must be text, got {type(prompt).__name__}"
        model = conversation(self.template, Row(custom_id="", prompt=str(prompt)))
        try:
            return ask(model, str(prompt)).content, None
        except Exception as exc:
            return None, f"{type(exc).__name__}: {exc}"

    def _answers(self, prompts: Any) -> tuple[list[str | None], list[str | None]]:
        answers: list[str | None] = []
        errors: list[str | None] = []
        for prompt in prompts:
            answer, error = self._answer(prompt)
            answers.append(answer)
            errors.append(error)
        return answers, errors

    def __call__(self, batch: Any) -> Any:
        if hasattr(batch, "columns") and hasattr(batch, "assign"):  # a pandas DataFrame
            if self.prompt_key not in batch.columns:
                raise KeyError(f"the batch has no column {self.prompt_key!r}")
            answers, errors = self._answers(batch[self.prompt_key].tolist())
            return batch.assign(**{self.output_key: answers, self.error_key: errors})
        if not isinstance(batch, Mapping):
            raise TypeError(f"a batch must be a mapping of columns or a pandas DataFrame, got {type(batch).__name__}")
        if self.prompt_key not in batch:
            raise KeyError(f"the batch has no column {self.prompt_key!r}")
        column = batch[self.prompt_key]
        prompts = column.tolist() if hasattr(column, "tolist") else list(column)
        answers, errors = self._answers(prompts)
        result = dict(batch)
        result[self.output_key] = _like(column, answers)
        result[self.error_key] = _like(column, errors)
        return result

    def __repr__(self) -> str:
        return f"RowMapper(prompt_key={self.prompt_key!r}, output_key={self.output_key!r})"


def _like(column: Any, values: list[Any]) -> Any:
    """``values`` as a numpy array when the input column is one (Ray's numpy
    batches keep every column an array), else as a list."""
    if type(column).__module__ == "numpy" and type(column).__name__ == "ndarray":
        import numpy

        array = numpy.empty(len(values), dtype=object)
        array[:] = values
        return array
    return values
