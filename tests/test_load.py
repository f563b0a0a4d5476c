"""Many threads at once against the embedded server: eight threads with an
object each, and four threads sharing one object.  Every file that was
uploaded comes back byte for byte and sits on the server's disk intact,
nothing crashes, and nothing is left running or open afterwards."""

import contextlib
import hashlib
import json
import random
import stat
import threading
import time
import traceback
from pathlib import Path
from typing import Any

from conftest import assert_released, connected, resources
from servers.hosting import EmbeddedServer

OWN_THREADS = 8
SHARED_THREADS = 4
OPERATIONS = 1000            # per thread
MAX_FILE = 32 * 1024
JOIN_TIMEOUT = 300.0         # a hang fails the test instead of blocking the run


def sha256(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


class Worker(threading.Thread):
    """Makes OPERATIONS calls, in cycles of ten, on `obj` (under `lock` when
    the object is shared), and records the files it leaves on the server."""

    def __init__(self, name: str, obj: Any, local: Path, lock: threading.Lock | None) -> None:
        super().__init__(name=name, daemon=True)
        self.obj, self.local, self.lock = obj, local, lock
        self.rng = random.Random(name)
        self.done, self.seconds = 0, 0.0
        self.kept: dict[str, str] = {}          # remote path -> checksum
        self.failure: str | None = None

    def call(self, method: str, *args: Any, counted: bool = True) -> Any:
        # paramiko's SFTP client reads each reply on the calling thread:
        # two threads waiting on one client take each other's replies and
        # hang.  Callers that share an object therefore take turns.
        with self.lock or contextlib.nullcontext():
            result = getattr(self.obj, method)(*args)
        self.done += counted
        return result

    def check(self, condition: bool, what: str) -> None:
        if not condition:
            raise AssertionError(f"{self.name}, operation {self.done}: {what}")

    def cycle(self, n: int) -> None:
        folder = f"/{self.name}/c{n}"
        data = self.rng.randbytes(self.rng.randrange(MAX_FILE))
        source, back = self.local / f"up{n}", self.local / f"down{n}"
        source.write_bytes(data)
        self.check(self.call("_mkdir", folder) is True, "mkdir")
        self.check(self.call("_upload", str(source), f"{folder}/a") is True, "upload")
        self.check(self.call("_stat", f"{folder}/a").st_size == len(data), "size after upload")
        rename = "_rename" if n % 2 else "_posix_rename"
        self.check(self.call(rename, f"{folder}/a", f"{folder}/b") is True, rename)
        self.check(self.call("_download", f"{folder}/b", str(back)) is True, "download")
        self.check(sha256(back.read_bytes()) == sha256(data), "checksum after download")
        self.check(self.call("_normalize", f"{folder}/../c{n}/b") == f"{folder}/b", "normalize")
        if self.lock is None:   # the working directory belongs to the whole object
            self.check(self.call("_chdir", folder) is True, "chdir")
            self.check(self.call("_stat", "b").st_size == len(data), "relative stat")
        else:
            self.check(stat.S_ISDIR(self.call("_stat", folder).st_mode), "stat of the folder")
            self.check(self.call("_normalize", folder) == folder, "normalize the folder")
        if n % 3:               # two in three go again, the rest stay for the final check
            self.check(self.call("_remove", f"{folder}/b") is True, "remove")
            self.check(self.call("_rmdir", folder) is True, "rmdir")
        else:
            self.kept[f"{folder}/b"] = sha256(data)
            self.check(self.call("_stat", f"{folder}/b").st_size == len(data), "stat of a kept file")
            self.check(self.call("_normalize", f"{folder}/b") == f"{folder}/b", "normalize a kept file")
        source.unlink()
        back.unlink()

    def run(self) -> None:
        started = time.monotonic()
        try:
            self.call("_mkdir", f"/{self.name}", counted=False)
            for n in range(OPERATIONS // 10):
                self.cycle(n)
        except BaseException:
            self.failure = traceback.format_exc()
        self.seconds = time.monotonic() - started


def on_disk(root: Path) -> tuple[set[str], dict[str, str]]:
    """The directories and the files' checksums under the server's root, as the client names them."""
    paths = {"/" + p.relative_to(root).as_posix(): p for p in root.rglob("*")}
    return ({name for name, p in paths.items() if p.is_dir()},
            {name: sha256(p.read_bytes()) for name, p in paths.items() if p.is_file()})


def test_threads_with_own_and_shared_objects(embedded_server: EmbeddedServer, tmp_path: Path) -> None:
    before = resources()
    shared, lock = connected(embedded_server), threading.Lock()
    workers = []
    for name, obj, guard in ([(f"own{i}", connected(embedded_server), None) for i in range(OWN_THREADS)]
                             + [(f"shared{i}", shared, lock) for i in range(SHARED_THREADS)]):
        (tmp_path / name).mkdir()
        workers.append(Worker(name, obj, tmp_path / name, guard))
        workers[-1].start()
    deadline = time.monotonic() + JOIN_TIMEOUT
    for worker in workers:
        worker.join(max(0.0, deadline - time.monotonic()))
    assert [w.name for w in workers if w.is_alive()] == [], "hung"
    assert [w.failure for w in workers if w.failure] == []
    kept = {path: digest for w in workers for path, digest in w.kept.items()}
    folders = {f"/{w.name}" for w in workers} | {path.rsplit("/", 1)[0] for path in kept}
    # Nothing lost, nothing left over, nothing changed.
    assert on_disk(embedded_server.root) == (folders, kept)
    for obj in {id(w.obj): w.obj for w in workers}.values():
        assert obj._close() is None

    def rate(group: list[Worker]) -> dict[str, float]:
        done, busy = sum(w.done for w in group), max(w.seconds for w in group)
        return {"threads": len(group), "operations": done, "seconds": round(busy, 2),
                "ops_per_second": round(done / busy)}
    rates = {"all": rate(workers), "own_objects": rate([w for w in workers if w.lock is None]),
             "shared_object": rate([w for w in workers if w.lock is not None])}
    (tmp_path / "load.json").write_text(json.dumps(rates, indent=2))
    print(f"\nload: {json.dumps(rates)} (written to {tmp_path / 'load.json'})")

    del workers, shared, obj
    assert_released(before)
