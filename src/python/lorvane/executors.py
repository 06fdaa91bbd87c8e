"""Executors for `encode_batch` and `encode_dataset` beyond the standard library's.

Any `concurrent.futures.Executor` works: a `ProcessPoolExecutor`, or a Dask client's
`get_executor()` across machines. `RayExecutor` runs the tasks on a Ray cluster.
"""

from __future__ import annotations

import concurrent.futures
from collections.abc import Callable
from typing import Any


class InProcessExecutor(concurrent.futures.Executor):
    """Runs each task at once in this process, when it is submitted."""

    def submit(self, fn: Callable[..., Any], /, *args: Any,
               **kwargs: Any) -> concurrent.futures.Future[Any]:
        future: concurrent.futures.Future[Any] = concurrent.futures.Future()
        try:
            future.set_result(fn(*args, **kwargs))
        except Exception as error:
            future.set_exception(error)
        return future


class RayExecutor(concurrent.futures.Executor):
    """Runs each task as a Ray remote function (`pip install lorvane_api[ray]`). Connects with
    `ray.init(**init_options)` unless Ray is connected already; every worker needs
    `lorvane_api` installed and, for `encode_dataset`, the inputs at the same paths.

        with RayExecutor(address="auto") as pool:
            lorvane.encode_dataset(model, ["/shared/corpus.txt"], "/shared/data/train",
                                   executor=pool, max_pending=64)
    """

    def __init__(self, **init_options: Any):
        import ray  # type: ignore[import-not-found, unused-ignore]

        if not ray.is_initialized():
            ray.init(**init_options)
        self._ray = ray
        self._remote: dict[Callable[..., Any], Any] = {}

    def submit(self, fn: Callable[..., Any], /, *args: Any,
               **kwargs: Any) -> concurrent.futures.Future[Any]:
        remote = self._remote.get(fn)
        if remote is None:
            remote = self._remote[fn] = self._ray.remote(fn)
        future: concurrent.futures.Future[Any] = remote.remote(*args, **kwargs).future()
        return future
