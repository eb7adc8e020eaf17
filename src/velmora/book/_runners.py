"""Where the trades of a book are valued: the calling process, local worker processes or
a Dask cluster, each behind the same small interface.

A runner's ``map(job, tasks)`` values every task and yields one ``Valued`` per task as
it is done, in any order; a trade whose valuation cannot be had (its worker died twice)
comes back as failed rows, never as an exception.  Only the loss of the whole Dask
cluster, or a scheduler that cannot be reached, raises.
"""

import functools
import multiprocessing
import os
import signal
import sys
import time
from collections import deque
from collections.abc import Iterator, Sequence
from multiprocessing.connection import wait
from typing import Any, Protocol, runtime_checkable

from . import _worker
from ._parcels import Job, Task, Valued, describe, failed

# Trades kept in flight per local worker: the next one is already there when the
# current one is done.
_DEPTH = 2
# Workers dying before they are ready, in a row, after which the trades left fail.
_START_FAILURES = 3


class WorkerDied(RuntimeError):
    """The process valuing a trade died, on the first try and on the retry."""


class ClusterLost(RuntimeError):
    """The Dask cluster went away while the book was valued: no trade is to blame."""


@runtime_checkable
class Runner(Protocol):
    """Values the trades of a job somewhere."""

    def map(self, job: Job, tasks: Sequence[Task]) -> Iterator[Valued]:
        """Every task valued, one ``Valued`` each as it is done, in any order."""
        ...


def cores() -> int:
    """The cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def store_path() -> str:
    """The path of the store this process reads, for workers to open the same one."""
    import lumadex

    return str(lumadex.store_path())


@functools.singledispatch
def runner_for(executor: Any) -> Runner:
    """The runner an ``executor`` argument of ``value_book`` asks for, looked up by the
    argument's type: None, a number of local processes, "serial" or a Dask client."""
    if _is_dask_client(executor):
        return DaskCluster(executor)
    raise TypeError(f"executor must be None (local processes, one per core), a number of "
                    f"local processes, 'serial' or a dask.distributed.Client, "
                    f"got {executor!r}")


@runner_for.register(type(None))
def _one_per_core(executor: None) -> Runner:
    return LocalProcesses(cores())


@runner_for.register(int)
def _processes(executor: int) -> Runner:
    if executor < 1:
        raise ValueError(f"a number of local worker processes must be >= 1, got {executor}")
    return LocalProcesses(executor)


@runner_for.register(bool)  # a flag is not a number of processes
@runner_for.register(str)
def _named(executor: str | bool) -> Runner:
    if executor == "serial":
        return Serial()
    return runner_for.dispatch(object)(executor)


def _is_dask_client(executor: object) -> bool:
    if "distributed" not in sys.modules:
        return False
    from distributed import Client

    return isinstance(executor, Client)


# -- the calling process --------------------------------------------------------------------

class Serial:
    """One trade after the other in the calling process."""

    def map(self, job: Job, tasks: Sequence[Task]) -> Iterator[Valued]:
        for task in tasks:
            yield Valued(task.index, _worker.value_trade(job, task.trade))


# -- local worker processes -----------------------------------------------------------------

class _Proc:
    """One local worker process and the trades sent to it."""

    def __init__(self, ctx: Any, args: tuple[Any, ...]) -> None:
        self.conn, child = ctx.Pipe()
        self.process = ctx.Process(target=_worker.worker_loop, name="velmora-book-worker",
                                   args=(child,) + args, daemon=True)
        self.process.start()
        child.close()
        self.pooled = False  # has been sent the caller's Monte Carlo pool
        self.inflight: list[int] = []
        self.current: int | None = None  # the trade it has started valuing
        self.ready = False  # has opened the store


def _shared_memory_room() -> int:
    """Bytes free in the shared-memory file system; 0 where there is none.

    Containers often mount a small /dev/shm (64 MB by default under Docker), and a pool
    written past its end would kill the process with SIGBUS: it is shared only if it fits.
    """
    try:
        fs = os.statvfs("/dev/shm")
    except (AttributeError, OSError):
        return 0
    return fs.f_bavail * fs.f_frsize


class _OnTheStore:
    """A runner whose workers open the caller's market-data store by its path: ``store``,
    or the path the client reads in the calling process (``store_path``)."""

    store: str | None

    def map(self, job: Job, tasks: Sequence[Task]) -> Iterator[Valued]:
        if not tasks:
            return iter(())
        store = store_path() if self.store is None else self.store
        return self._run(job, list(tasks), store)

    def _run(self, job: Job, tasks: list[Task], store: str) -> Iterator[Valued]:
        raise NotImplementedError


class LocalProcesses(_OnTheStore):
    """Up to ``workers`` local worker processes, each fed ``_DEPTH`` trades ahead.

    Processes, not threads: QuantLib's evaluation date is a setting of the whole
    process.  They are started fresh (``spawn``), open the caller's store by its path,
    and share the cores: torch and the autocallable engine run ``cores // workers``
    threads in each.

    A worker says which trade it starts, so when it dies the trade it was valuing is
    known: that trade goes to the front of the queue for one more try in another
    process, and fails if it kills that one too; the trades queued behind it go back
    unharmed.  Workers that die before they are ready (a store that cannot be opened,
    a broken installation) charge nothing to the trades; after a few such deaths in a
    row the remaining trades fail with the reason.
    """

    def __init__(self, workers: int, store: str | None = None) -> None:
        self.workers = workers
        self.store = store

    def _run(self, job: Job, tasks: list[Task], store: str) -> Iterator[Valued]:
        return _LocalRun(min(self.workers, len(tasks)), job, store).run(tasks)


class _LocalRun:
    """One book on local worker processes: the workers, the queue and the deaths."""

    def __init__(self, workers: int, job: Job, store: str) -> None:
        self.ctx = multiprocessing.get_context("spawn")
        self.workers = workers
        self.job = job
        self.args: tuple[Any, ...] = (store, max(1, cores() // workers), job)
        self.procs: list[_Proc] = []
        self.pool: Any = None
        self.start_failures = 0
        self.last_death = ""
        self.out: deque[Valued] = deque()

    def _share_pool(self) -> None:
        """Send this process's Monte Carlo pool to the workers that wait for it.

        Drawing it costs each worker about half a second of start-up and 400 MB of its
        own; mapping the caller's shared copy costs neither, and the values are the same.
        The workers are started first, so the caller draws its pool (if it has none yet)
        while they start.  If the pool cannot be shared, the workers draw their own.
        """
        if self.pool is None:
            try:
                import torch.multiprocessing  # noqa: F401  (tensors pickle as shared memory)

                from .. import normdraw

                pool = normdraw._normdraws
                fits = pool.is_shared() or pool.nbytes * 1.25 < _shared_memory_room()
                self.pool = normdraw._shared_pool() if fits else False
            except Exception:  # no room for it after all: each worker draws its own
                self.pool = False
        for p in self.procs:
            if not p.pooled:
                p.pooled = True
                try:
                    p.conn.send(("pool", self.pool or None))
                except OSError:  # the worker is gone already; its sentinel says so next
                    pass

    def _done(self, valued: Valued) -> None:
        self.out.append(valued)
        self.remaining -= 1

    def _fail(self, index: int, error: BaseException) -> None:
        self._done(Valued(index, failed(error, len(self.job.shifts))))

    def run(self, tasks: Sequence[Task]) -> Iterator[Valued]:
        self.trades = {task.index: task.trade for task in tasks}
        self.pending: deque[int] = deque(task.index for task in tasks)
        self.deaths: dict[int, int] = {}
        self.remaining = len(self.pending)
        # one drawing of the pool instead of one per worker, when the book needs one
        share = (self.workers > 1 and _shared_memory_room() > 0
                 and any(task.trade.draws_pool for task in tasks))
        args = self.args + (share,)
        try:
            while self.remaining:
                want = min(self.workers, self.remaining)
                while len(self.procs) < want and self.start_failures <= _START_FAILURES:
                    self.procs.append(_Proc(self.ctx, args))
                if share:
                    self._share_pool()
                if not self.procs:
                    self._give_up()
                    break
                self._feed()
                ready = set(wait([p.conn for p in self.procs] +
                                 [p.process.sentinel for p in self.procs]))
                for p in list(self.procs):
                    if p.conn in ready:
                        self._drain(p)
                    if p.process.sentinel in ready or not p.process.is_alive():
                        self._drain(p)
                        self._buried(p)
                while self.out:
                    yield self.out.popleft()
        finally:
            self._stop()
        while self.out:
            yield self.out.popleft()

    def _give_up(self) -> None:
        error = WorkerDied(f"worker processes die as they start ({self.last_death}); "
                           f"nothing could be valued")
        for index in list(self.pending):
            self._fail(index, error)
        self.pending.clear()

    def _feed(self) -> None:
        for p in self.procs:
            while self.pending and len(p.inflight) < _DEPTH:
                index = self.pending.popleft()
                try:
                    p.conn.send(Task(index, self.trades[index]))
                except OSError:  # the worker is gone; its sentinel says so next
                    self.pending.appendleft(index)
                    break
                p.inflight.append(index)

    def _drain(self, p: _Proc) -> None:
        try:
            while p.conn.poll():
                kind, index, rows = p.conn.recv()
                if kind == "ready":
                    p.ready = True
                    self.start_failures = 0
                elif kind == "start":
                    p.current = index
                else:
                    p.inflight.remove(index)
                    p.current = None
                    self._done(Valued(index, rows))
        except Exception:  # closed, or a message cut short by the death: the sentinel
            pass  # tells the rest

    def _buried(self, p: _Proc) -> None:
        """A dead worker: its current trade is tried once more, the others go back."""
        p.process.join()
        p.conn.close()
        self.procs.remove(p)
        code = p.process.exitcode
        how = f"exit code {code}"
        if code is not None and code < 0:
            try:
                how = f"killed by {signal.Signals(-code).name}"
            except ValueError:
                how = f"killed by signal {-code}"
        self.last_death = how
        if not p.ready:
            self.start_failures += 1
        back = [index for index in p.inflight if index != p.current]
        self.pending.extendleft(reversed(back))
        index = p.current
        if index is None or index not in p.inflight:
            return
        self.deaths[index] = self.deaths.get(index, 0) + 1
        if self.deaths[index] >= 2:
            self._fail(index, WorkerDied(
                f"the worker process died while valuing this trade, on the first try and "
                f"on the retry ({how})"))
        else:
            self.pending.appendleft(index)

    def _stop(self) -> None:
        for p in self.procs:
            try:
                p.conn.send(None)
            except OSError:
                pass
        deadline = time.monotonic() + 5.0
        for p in self.procs:
            p.process.join(max(0.0, deadline - time.monotonic()))
            if p.process.is_alive():
                p.process.terminate()
                p.process.join()
            p.conn.close()
        self.procs = []
        self.pool = None


# -- Dask -----------------------------------------------------------------------------------

class DaskCluster(_OnTheStore):
    """The workers of a Dask cluster, which need velmora installed and the caller's
    store file at the same path.

    Trades go in batches as Dask tasks; the scheduler's own retry rule applies first
    (``distributed.scheduler.allowed-failures``), and the trades of a batch it gives up
    on are tried again one task at a time, after the rest of the book, so that a worker
    dying then can only be the trade's own doing.
    """

    def __init__(self, client: Any, store: str | None = None) -> None:
        self.client = client
        self.store = store

    def _lost(self, error: BaseException) -> None:
        """Raise ``ClusterLost`` when a cancelled task means the cluster itself is gone."""
        client = self.client
        try:
            alive = client.status == "running" and client.scheduler_info().get("address")
            if alive:
                client.nthreads()
        except Exception:
            alive = False
        if not alive:
            raise ClusterLost(f"the Dask cluster was lost while the book was valued "
                              f"({describe(error)}); no result is kept") from error

    def _run(self, job: Job, tasks: list[Task], store: str) -> Iterator[Valued]:
        from distributed import KilledWorker, as_completed
        from distributed.utils import CancelledError

        client = self.client
        n = len(job.shifts)
        try:
            threads = sum(client.nthreads().values()) or 1
        except Exception as e:  # a closed client, or one whose cluster is gone
            raise ConnectionError(f"the Dask scheduler cannot be reached "
                                  f"({describe(e)}); nothing was valued") from e
        # a few tasks per worker thread keep the load even; a task holds several trades
        # so the scheduler's per-task cost stays small beside the valuations
        size = max(1, min(16, len(tasks) // (threads * 8)))
        owner: dict[str, list[Task]] = {}
        retry: list[Task] = []
        futures = as_completed()
        for k in range(0, len(tasks), size):
            future = client.submit(_worker.dask_batch, store, job, tasks[k:k + size],
                                   pure=False)
            owner[future.key] = tasks[k:k + size]
            futures.add(future)
        for future in futures:
            batch = owner.pop(future.key)
            try:
                results = future.result()
            except CancelledError as e:
                self._lost(e)
                yield from (Valued(task.index, failed(e, n)) for task in batch)
                continue
            except KilledWorker:
                # the worker died under this batch or beside it (a worker holds several
                # tasks): try its trades again once the others are done
                retry.extend(batch)
                continue
            except Exception as e:  # the task failed (velmora missing on a worker...)
                yield from (Valued(task.index, failed(e, n)) for task in batch)
                continue
            yield from results
        for single in retry:
            future = client.submit(_worker.dask_batch, store, job, [single], pure=False)
            try:
                (valued,) = future.result()
            except CancelledError as e:
                self._lost(e)
                yield Valued(single.index, failed(e, n))
                continue
            except KilledWorker as e:
                yield Valued(single.index, failed(WorkerDied(
                    f"the Dask workers valuing this trade died, with nothing else running "
                    f"({describe(e)})"), n))
                continue
            except Exception as e:
                yield Valued(single.index, failed(e, n))
                continue
            yield valued
